#include "Traffic_csv.h"

#include "Traffic_history.h"
#include "Wall_time.h"

std::string traffic_csv_line(const Traffic_history &history, const Traffic_event &e)
{
    std::string row = iso_time_text(e.time_ms);
    row += ',';
    row += direction_text(e.direction);
    row += ',';
    row += csv_field(e.peer.text());
    row += ',';
    row += hex_bytes(e.data);
    row += ',';
    row += csv_field(history.note(e));
    row += "\r\n";
    return row;
}

Save_result save_traffic_csv(const Traffic_history &history, const std::string &path)
{
    Traffic_file file(path);
    file.write(kTrafficCsvHeader);
    for (size_t i = 0; i < history.size() && file.ok(); ++i)
        file.write(traffic_csv_line(history, history.at(i)));
    return file.finish(history.size());
}
