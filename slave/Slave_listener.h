// A slave that only listens to its line: what it does with the frames the
// line monitor finds there, without a window. Each frame of a unit the
// filter lets through becomes an RX entry of the traffic history whose note
// says what the monitor took it for (request, answer, unknown), and an
// answer's values go into the station's tables at the addresses its request
// named, so that the tables mirror the device as far as the line showed it.
// Bytes that made no frame become a "noise" line.
//
// The station owns the port and the clock: it feeds what it read with the
// time it read it, and calls idle() on a timer. Nothing here can write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "Line_monitor.h"
#include "Slave_tables.h"
#include "Station_traffic.h"
#include "Unit_filter.h"

struct Mirror_write;

// The history's description of a frame heard: its role, and for an answer
// paired with its request the response time in whole milliseconds.
Traffic_info heard_info(const Monitor_frame &frame);
// "noise, 3 bytes": the history's line for bytes that made no frame.
std::string noise_text(size_t bytes);

// Entry n of table kind (KindCoil ... KindInputRegister) was written.
using Entry_written = std::function<void(int kind, uint16_t n)>;
// Writes what the line revealed into tables; entries past the tables' end
// are left out.
void apply_mirror_write(SlaveTables &tables, const Mirror_write &write, const Entry_written &written = {});

class SlaveListener {
public:
    // units is read at every frame, so a filter changed while listening
    // applies from the next frame on.
    SlaveListener(Line_settings settings, Station_traffic &traffic, SlaveTables &tables, const UnitFilter &units,
                  Entry_written written = {});

    void feed(const uint8_t *data, size_t n, int64_t atUs) { monitor_.feed(data, n, atUs); }
    // Lets the monitor end a frame at a silence once one is due.
    void idle(int64_t nowUs);
    // The port closes: whatever is held is reported.
    void flush() { monitor_.flush(); }

    // The monitor's counters since the listener began or was last reset,
    // of every unit: "Req N  Ans N  Exc N  Err N  Unans N  Noise N".
    Monitor_counters counters() const;
    void resetCounters() { base_ = monitor_.counters(); }
    const Line_monitor &monitor() const { return monitor_; }

private:
    void frame(const Monitor_frame &f);
    void noise(const Monitor_noise &n);

    Station_traffic &traffic_;
    SlaveTables &tables_;
    const UnitFilter &units_;
    Entry_written written_;
    Monitor_counters base_;
    Line_monitor monitor_;
};
