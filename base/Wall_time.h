// Wall-clock times as text, in the local time zone: the traffic history's
// lines and the times in the files that are saved and logged.
#pragma once

#include <cstdint>
#include <string>

// Milliseconds since 1970-01-01 00:00 UTC, now.
int64_t wall_clock_ms();

// "2026-12-08 14:03:07.125": the history's lines.
std::string local_time_text(int64_t ms);

// "2026-12-08T14:03:07.125+01:00": ISO 8601 with the zone's offset, so that
// a saved file means the same moment wherever it is read.
std::string iso_time_text(int64_t ms);
