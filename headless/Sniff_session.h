// What quillan-sniff does with the bytes it hears, without the port: the
// line monitor finds the frames; those of the units asked for go to the
// history's lines (stdout), to the capture and CSV files as they come, to
// the mirrored tables and to the per-unit figures of the summary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "Line_monitor.h"
#include "Slave_tables.h"
#include "Sniff_options.h"
#include "Traffic_history.h"
#include "Traffic_stream.h"

class SniffSession {
public:
    // log: where the history's lines go, or nullptr. pcap, csv: open
    // streams, or nullptr. The clocks at the start map the monitor's
    // monotonic times to the wall clock of the history.
    SniffSession(const SniffOptions &options, FILE *log, Traffic_stream *pcap, Traffic_stream *csv,
                 int64_t monotonicStartUs, int64_t wallStartMs);

    void feed(const uint8_t *bytes, size_t n, int64_t atUs) { monitor_.feed(bytes, n, atUs); }
    void idle(int64_t nowUs) { monitor_.idle(nowUs); }
    void finish() { monitor_.flush(); }
    int64_t wakeAtUs() const { return monitor_.wake_at_us(); }
    const Line_monitor &monitor() const { return monitor_; }

    // The lines for stderr, each ended by a newline:
    //   frames 14, requests 7, answers 7, exceptions 1, CRC errors 0, unanswered 0, noise bytes 0
    //   unit 1: requests 7, answers 7, response min 1.2 ms, avg 2.0 ms, max 3.1 ms
    std::string summary() const;
    // Writes the mirrored tables (one file, or one per unit when several
    // units answered); empty on success, else the first problem.
    std::string save(const std::string &path) const;
    // The tables mirrored for a unit that answered, or nullptr.
    const SlaveTables *tables(unsigned unit) const;

private:
    struct UnitFigures {
        uint64_t requests = 0, answers = 0, timed = 0;
        int64_t minUs = INT64_MAX, maxUs = 0, sumUs = 0;
    };

    void frame(const Monitor_frame &f);
    void noise(const Monitor_noise &n);
    void record(Traffic_direction direction, const std::vector<uint8_t> &bytes, Traffic_info info, int64_t atUs);
    int64_t wallMs(int64_t atUs) const { return wallStartMs_ + (atUs - monotonicStartUs_) / 1000; }

    const SniffOptions &options_;
    FILE *log_;
    Traffic_stream *pcap_, *csv_;
    int64_t monotonicStartUs_, wallStartMs_;
    int64_t entryWallMs_ = 0;  // the time the formatter gives the entry being added
    Traffic_history format_;   // holds the last entry only
    Line_monitor monitor_;
    std::map<unsigned, UnitFigures> units_;
    std::map<unsigned, SlaveTables> tables_;
};
