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
//
// A device map's simulations tick under the same lock, so a request reads
// every register of a value from one tick. With devices of their own
// (--device), each unit named has its own tables, map and code 11 counter;
// a request for any other unit is treated as one the unit filter leaves out.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Slave_bench.h"
#include "Slave_engine.h"
#include "Paged_tables.h"
#include "Slave_map.h"
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
    PagedTables tables() const;
    void setTables(const PagedTables &tables);

    // The shared tables' map: its initial values are written now.
    void setMap(SlaveMap map);
    // Tables of unit's own, starting from tables with map's initial values
    // written; from the first one on, units without their own are filtered.
    void addDevice(uint8_t unit, const PagedTables &tables, SlaveMap map);
    // Every simulation's tick at now, applied under the lock.
    void simulationTick(const SimTime &now);
    // True when some map simulates an entry.
    bool simulated() const;

private:
    // One set of tables and what goes with it.
    struct Served {
        PagedTables tables;
        SlaveMap map;
        SlaveServeState state;  // the shared tables use the bench's own
    };
    // The bench on d's tables; a master's writes stop d's simulations.
    SlaveBenchReply serveOn(Served &d, const SlaveProfile &profile, const uint8_t *request, size_t n);
    // The bench under the lock; the reply's lines logged after it.
    SlaveBenchReply run(const SlaveProfile &profile, const TrafficSource &from, const uint8_t *request, size_t n);
    int64_t releaseTime(int delayMs) const;

    TrafficLog &log_;
    TcpServingClock &clock_;
    mutable std::mutex mu_;
    Served shared_;
    std::vector<std::unique_ptr<Served>> devices_;
    std::array<Served *, 256> byUnit_{};
    std::vector<uint8_t> units_;
    SlaveBench bench_;
};
