// Saves a traffic history as a CSV file (RFC 4180: comma separated, CR LF
// line ends, UTF-8) that a spreadsheet opens: the header line
//   time,direction,peer,bytes,note
// then one line per entry, the time in ISO 8601 with milliseconds and the
// zone's offset, the bytes as hexadecimal pairs (ASCII stations too: the
// bytes of the text).
#pragma once

#include <string>

#include "Csv_text.h"
#include "Traffic_file.h"

class Traffic_history;
struct Traffic_event;

Save_result save_traffic_csv(const Traffic_history &history, const std::string &path);

// The header line and the line of one entry, CR LF included, as the save
// above writes them; for writers that add lines as entries come.
constexpr std::string_view kTrafficCsvHeader = "time,direction,peer,bytes,note\r\n";
std::string traffic_csv_line(const Traffic_history &history, const Traffic_event &e);

