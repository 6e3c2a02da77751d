// --log: one line per event on stdout, laid out by the traffic history's own
// formatter, so a rig's log reads like a station's saved history:
//   2026-12-08 14:03:07.125 RX 127.0.0.1:40512 00 01 00 00 00 06 01 03 00 00 00 0A  tid 1 unit 1 fn 3 addr 0 count 10
//   2026-12-08 14:03:07.126 -- 127.0.0.1:40512 Client DisConnect
// RX a frame received, TX a frame written, -- an event. TCP lines carry the
// client's address. A serial line has no peer in the history's layout, so
// several lines served at once are told apart by the device, added as the
// entry's text: "...  unit 1 fn 3 addr 0 count 10; /dev/pts/3" and
// "-- Ignored: unit 5; /dev/pts/3".
//
// The serving threads only format a line and queue it (LineWriter); a
// writer thread of its own writes it, at once while the reader keeps up, so
// a reader following the output (a test, `tail -f`, a pipe) sees an event as
// soon as it happened, and one that stops reading never holds up serving or
// the end of the program. Lines that find the queue full are dropped and
// counted; a line says how many where they are missing:
//   2026-12-08 14:03:09.001 -- 5120 log lines dropped: the output was not read in time
// Lines from the TCP threads and the serial threads never mix.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Line_writer.h"
#include "Traffic_endpoint.h"
#include "Traffic_history.h"

// Where a line comes from: a TCP client, or a serial device.
struct TrafficSource {
    Traffic_framing framing = Traffic_framing::Tcp;
    Traffic_endpoint peer{};  // TCP only
    std::string device{};     // serial only
};

// A TCP peer as the serving loop names it ("127.0.0.1:40512",
// "[::1]:40512"); an empty endpoint for text that is no address and port.
Traffic_endpoint tcp_peer_endpoint(std::string_view text);

class TrafficLog {
public:
    // Lines queued, at most, before they are dropped: about 4 000 requests
    // with their answers.
    static constexpr size_t kQueueBytes = 1 << 20;

    // fd < 0: logging is off and every call returns at once.
    explicit TrafficLog(int fd, size_t queueBytes = kQueueBytes);

    bool on() const { return out_.on(); }
    void frame(Traffic_direction direction, const TrafficSource &from, const uint8_t *bytes, size_t n);
    // A "--" line; bytes, when given, are shown before the text.
    void event(const TrafficSource &from, std::string text, const uint8_t *bytes = nullptr, size_t n = 0);
    // Lets the writer finish for at most waitMs (see LineWriter::close);
    // the lines dropped in all.
    uint64_t close(int waitMs) { return out_.close(waitMs); }

private:
    void write(const TrafficSource &from, Traffic_event &&e);

    LineWriter out_;
    // Formatters only: nothing is kept in them.
    Traffic_history rtu_, ascii_, tcp_;
};
