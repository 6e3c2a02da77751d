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

Save_result save_traffic_csv(const Traffic_history &history, const std::string &path);
