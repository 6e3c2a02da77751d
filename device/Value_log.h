// A log of watched values: a CSV file (RFC 4180, CR LF line ends, UTF-8)
// that grows by one line per completed poll cycle.
//
//   time,flow_rate [m3/h],pump_on,errors
//   2026-12-08T14:03:07.125+01:00,12.5,1,
//   2026-12-08T14:03:08.125+01:00,,1,flow_rate
//
// A name carries its unit in brackets, or nothing when it has none. The time
// is ISO 8601 with milliseconds and the zone's offset; a value is the scaled
// value as the Watch page shows it, an empty cell when it was not read in
// that cycle; errors lists the names whose read failed, separated by blanks.
// Each line goes to the system as one write, so a line is never held back
// in a buffer. The first write error stops the log: a line it cut short is
// taken back, the lines before it stay.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "Device_map.h"
#include "Read_plan.h"

class Value_log {
public:
    Value_log() = default;
    ~Value_log();
    Value_log(const Value_log &) = delete;
    Value_log &operator=(const Value_log &) = delete;

    // The header line (CR LF included) for these entries.
    static std::string header(std::span<const Map_entry> entries);

    // Starts logging entries to path, appending when the file exists. A new
    // or empty file gets the header first; a file that holds a log of the
    // same names and units is continued; any other file is refused, so that
    // nothing of it is lost ("run.csv: holds other columns"). Only regular
    // files are taken. Returns "" or the reason, naming the file.
    std::string open(const std::string &path, std::span<const Map_entry> entries);
    bool active() const { return fd_ >= 0; }

    enum class Result { Written, Failed, Stopped };
    // One line for the cycle completed at time_ms; entries as given to
    // open(), readings parallel to them. Failed the one time a write fails
    // (error() says why, and the log is closed), Stopped when not logging.
    Result write_cycle(int64_t time_ms, std::span<const Map_entry> entries,
                       std::span<const Entry_reading> readings);
    // The line write_cycle() writes (CR LF included), for a log that goes
    // elsewhere than a file (a program's standard output).
    static std::string line(int64_t time_ms, std::span<const Map_entry> entries,
                            std::span<const Entry_reading> readings);
    // The write error that stopped the log, naming the file.
    const std::string &error() const { return error_; }

    void close();

private:
    static std::string cycle_line(int64_t time_ms, std::span<const Map_entry> entries,
                                  std::span<const Entry_reading> readings, size_t columns);
    bool write_all(const std::string &bytes);

    int fd_ = -1;
    size_t columns_ = 0;
    std::string label_;
    std::string error_;
};
