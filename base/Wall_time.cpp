#include "Wall_time.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

// Splits ms into local calendar time and the millisecond, also for times
// before 1970 (the millisecond is never negative).
void split(int64_t ms, std::tm &tm, int &millis)
{
    int64_t secs = ms / 1000;
    int64_t rest = ms % 1000;
    if (rest < 0) {
        rest += 1000;
        --secs;
    }
    millis = int(rest);
    const std::time_t t = std::time_t(secs);
    if (localtime_r(&t, &tm) == nullptr)
        tm = std::tm{};
}

}  // namespace

int64_t wall_clock_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string local_time_text(int64_t ms)
{
    std::tm tm;
    int millis;
    split(ms, tm, millis);
    char out[48];
    const int n = std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                tm.tm_min, tm.tm_sec, millis);
    return std::string(out, n > 0 ? size_t(n) : 0);
}

std::string iso_time_text(int64_t ms)
{
    std::tm tm;
    int millis;
    split(ms, tm, millis);
    const long offset = tm.tm_gmtoff / 60;  // minutes east of UTC
    const long magnitude = offset < 0 ? -offset : offset;
    char out[64];
    const int n = std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                tm.tm_min, tm.tm_sec, millis, offset < 0 ? '-' : '+',
                                magnitude / 60, magnitude % 60);
    return std::string(out, n > 0 ? size_t(n) : 0);
}
