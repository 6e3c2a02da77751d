#include "Traffic_csv.h"

#include "Traffic_history.h"
#include "Wall_time.h"

Save_result save_traffic_csv(const Traffic_history &history, const std::string &path)
{
    Traffic_file file(path);
    file.write("time,direction,peer,bytes,note\r\n");
    std::string row;
    for (size_t i = 0; i < history.size() && file.ok(); ++i) {
        const Traffic_event &e = history.at(i);
        row.clear();
        row += iso_time_text(e.time_ms);
        row += ',';
        row += direction_text(e.direction);
        row += ',';
        row += csv_field(e.peer.text());
        row += ',';
        row += hex_bytes(e.data);
        row += ',';
        row += csv_field(history.note(e));
        row += "\r\n";
        file.write(row);
    }
    return file.finish(history.size());
}
