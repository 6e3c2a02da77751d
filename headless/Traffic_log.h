// --log: one line per event on stdout, in the traffic history's layout:
//   2026-12-08 14:03:07.125 RX 127.0.0.1:40512 00 01 00 00 00 06 01 03 00 00 00 0A
//   2026-12-08 14:03:07.125 TX 127.0.0.1:40512 00 01 00 00 00 17 01 03 14 ...
//   2026-12-08 14:03:07.126 -- 127.0.0.1:40512 Client DisConnect
// RX a frame received, TX a frame written, -- an event. The peer is the
// client's address for TCP and the device for a serial line. ASCII frames are
// written as their text. Lines are collected and written once per round of
// the serving loop (flush), not once per line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class TrafficLog {
public:
    // nullptr: logging is off and every call returns at once.
    explicit TrafficLog(FILE *out) : out_(out) {}

    bool on() const { return out_ != nullptr; }
    void frame(const char *direction, const std::string &peer, const uint8_t *bytes, size_t n, bool asText);
    void event(const std::string &peer, const std::string &text);
    // Writes what was collected.
    void flush();

private:
    void stamp();
    // Writes early when a flood outgrows the collection.
    void spill();

    FILE *out_;
    std::mutex mu_;
    std::string pending_;
};
