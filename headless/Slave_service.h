// The one set of slave tables that every transport of quillan-slave serves,
// through the stations' serving entry point (unit filter, engine, injected
// faults, counters), with the traffic log. An answer is logged (TX) when it
// is handed to the socket or the line, not when it is made: a delayed one
// later, and one never sent as a "--" line that says so.
//
// RTU over TCP is served as the RTU slave serves a line (RTU profile: the
// unit filter ignores, a wrong CRC is logged and counted, not answered);
// Modbus/UDP as Modbus/TCP.
//
// TCP requests come from the serving loop's thread, serial requests from one
// thread per serial line. One lock covers the tables and the bench, so each
// request is served whole against the others, a write over one transport is
// read back whole over another, and the counters and the drop count are the
// process's, whatever transport a request came by.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Slave_bench.h"
#include "Slave_engine.h"
#include "Slave_options.h"
#include "Slave_stats.h"
#include "Slave_tables.h"
#include "Tcp_serving.h"
#include "Udp_serving.h"
#include "Traffic_log.h"

class SlaveService : public UdpServingHandler {
public:
    SlaveService(const SlaveOptions &options, TrafficLog &log, TcpServingClock &clock = monotonic_serving_clock());

    void serve(const TcpPeer &peer, const uint8_t *request, size_t n, TcpAnswer &answer) override;
    void connected(const TcpPeer &peer) override;
    void disconnected(const TcpPeer &peer) override;
    void badLength(const TcpPeer &peer, unsigned length) override;
    void streamDropped(const TcpPeer &peer, TcpStreamDrop why, const uint8_t *bytes, size_t n) override;
    void refused(const TcpPeer &peer, Udp_message why, const uint8_t *bytes, size_t n) override;
    void sent(const TcpPeer &peer, const uint8_t *answer, size_t n) override;
    void unsent(const TcpPeer &peer, const uint8_t *answer, size_t n) override;

    struct SerialAnswer {
        std::vector<uint8_t> bytes;  // empty: nothing goes out
        int64_t releaseNs = 0;       // monotonic time it is due, 0: now
    };
    // One complete request from the receiver of a serial line.
    SerialAnswer serveSerial(const SlaveProfile &profile, const std::string &device, const uint8_t *request,
                             size_t n);
    // A receiver's own line (a request too long, a time-out).
    void serialNote(const std::string &device, const std::string &text);
    // An answer written to the line, or never written (the line closed first).
    void serialSent(const SlaveProfile &profile, const std::string &device, const uint8_t *answer, size_t n);
    void serialUnsent(const SlaveProfile &profile, const std::string &device, const uint8_t *answer, size_t n);

    SlaveStats stats() const;
    // A copy taken under the lock: whole against every request.
    SlaveTables tables() const;
    void setTables(const SlaveTables &tables);

private:
    // The bench under the lock; the reply's lines logged after it.
    SlaveBenchReply run(const SlaveProfile &profile, const TrafficSource &from, const uint8_t *request, size_t n);
    int64_t releaseTime(int delayMs) const;

    TrafficLog &log_;
    TcpServingClock &clock_;
    mutable std::mutex mu_;
    SlaveTables tables_;
    SlaveBench bench_;
};
