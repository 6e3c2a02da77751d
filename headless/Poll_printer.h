// How quillan-poll prints what it reads, on its standard output:
//  text  one line per value: "40001  flow_rate  12.5 m3/h" (the name and
//        the unit when a map gives them), or the failure in the value's place;
//  csv   the value log's columns: a header, then one line per poll (time,
//        a cell per value, the names that failed);
//  json  JSON Lines, one object per value: {"time":"2026-12-08T14:03:07.125+01:00",
//        "unit":1,"address":40001,"name":"flow_rate","raw":[16712,0],"value":12.5,
//        "status":"ok"}; raw and value are null when the read failed, the name
//        is there only for a map's entries, and requests other than reads
//        carry "request" ("write", "mask-write", "identify", ...).
// Everything of a poll is flushed when the poll ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Answer_check.h"
#include "Poll_options.h"
#include "Poll_plan.h"
#include "Read_plan.h"

class Poll_printer {
public:
    Poll_printer(Poll_output kind, std::FILE *out, const Poll_plan &plan);

    // The CSV header; nothing in the other forms.
    void begin();
    // A read's entries, once its answer (or failure) is in readings.
    void read(int64_t timeMs, const Poll_job &job, const std::vector<Entry_reading> &readings,
              const std::string &status);
    void write(int64_t timeMs, const Poll_job &job, const std::string &status);
    void mask(int64_t timeMs, const Poll_job &job, const std::string &status);
    void identity(int64_t timeMs, int unit, const std::vector<Identity_object> &objects, const std::string &status);
    void report(int64_t timeMs, int unit, const std::vector<uint8_t> &bytes, const std::string &status);
    // A device found by a scan: its answer, the time it took, its values
    // (as text) and, when asked, its identity.
    void found(int64_t timeMs, int unit, const std::string &status, int64_t responseMs,
               const std::vector<std::string> &values, const std::vector<Identity_object> *identity);
    // The poll is over: the CSV line, and everything flushed. false when the
    // output failed (a full disk): the reason is on stderr, once.
    bool end(int64_t timeMs, const std::vector<Entry_reading> &readings);

    // A value as the text output shows it: engineering units for a map's
    // entry, the --format's own text (hexadecimal, binary ...) otherwise.
    std::string valueText(size_t entry, const Entry_reading &r) const;

private:
    void line(const std::string &text);
    std::string jsonHead(int64_t timeMs, int unit, const char *request) const;

    Poll_output kind_;
    std::FILE *out_;
    bool failed_ = false;
    const Poll_plan &plan_;
};

// A value's text as a JSON number, or "null" for one JSON has no number for
// (NaN, infinities).
std::string json_number(const std::string &text);
