#include "Notices.h"
#include "Strformat.h"

#include <cstdarg>
#include <cstdio>

namespace {
StatusSink g_status;
MessageBoxSink g_box;
StationClosedSink g_closed;
}  // namespace

void set_status_sink(StatusSink sink) { g_status = std::move(sink); }
void set_message_box_sink(MessageBoxSink sink) { g_box = std::move(sink); }
void set_station_closed_sink(StationClosedSink sink) { g_closed = std::move(sink); }

void show_message_box(const std::string &text, const std::string &caption)
{
    if (g_box)
        g_box(text, caption);
    else
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
}

void show_status_message(const std::string &text)
{
    if (g_status)
        g_status(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

void station_closed(int kind)
{
    if (g_closed)
        g_closed(kind);
}

bool device_address_ok(uint16_t address) { return address >= 1 && address <= 247; }
bool register_address_ok(uint16_t address) { return address >= 1 && address <= 9999; }
bool comm_count_ok(uint16_t count, uint16_t limit) { return count >= 1 && count <= limit; }

int check_device_address(uint16_t address)
{
    if (device_address_ok(address))
        return 0;
    show_message_box("Modbus Device Address must be 1 - 247 !!!!");
    return -1;
}

int check_register_address(uint16_t address)
{
    if (register_address_ok(address))
        return 0;
    show_message_box("Register/Relay Address must be 1 - 9999 !!!!");
    return -1;
}

int check_comm_count(uint16_t count, uint16_t limit)
{
    if (comm_count_ok(count, limit))
        return 0;
    show_message_box(strformat("Communication Words/Bits must be 1 - %u !!!!", unsigned(limit)));
    return -1;
}
