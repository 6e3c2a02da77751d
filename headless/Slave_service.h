// The one set of slave tables that every transport of quillan-slave serves,
// through the stations' own engine, with the counters and the traffic log.
//
// TCP requests come from the serving loop's thread, serial requests from one
// thread per serial line; a lock keeps each request whole against the others.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Slave_engine.h"
#include "Slave_options.h"
#include "Slave_tables.h"
#include "Tcp_serving.h"
#include "Traffic_log.h"

// What happened, as the stations count it.
struct SlaveCounts {
    uint64_t req = 0;   // requests received
    uint64_t ans = 0;   // answers sent
    uint64_t exc = 0;   // exception answers
    uint64_t err = 0;   // checksum, LRC or framing errors
    uint64_t ign = 0;   // requests for a unit the filter leaves out
    uint64_t drop = 0;  // answers withheld on purpose
};
// "Req N  Ans N  Exc N  Err N  Ign N  Drop N"
std::string slave_counts_text(const SlaveCounts &c);

class SlaveService : public TcpServingHandler {
public:
    SlaveService(const SlaveOptions &options, TrafficLog &log, TcpServingClock &clock = monotonic_serving_clock());

    void serve(const TcpPeer &peer, const uint8_t *request, size_t n, TcpAnswer &answer) override;
    void connected(const TcpPeer &peer) override;
    void disconnected(const TcpPeer &peer) override;
    void badLength(const TcpPeer &peer, unsigned length) override;

    struct SerialAnswer {
        std::vector<uint8_t> bytes;  // empty: nothing goes out
        int64_t releaseNs = 0;       // monotonic time it is due, 0: now
    };
    // One complete request from the receiver of a serial line.
    SerialAnswer serveSerial(const SlaveProfile &profile, const std::string &device, const uint8_t *request,
                             size_t n);
    // A receiver's own line (a request too long, a time-out).
    void serialNote(const std::string &device, const std::string &text);

    SlaveCounts counts() const;
    SlaveTables tables() const;

private:
    // The engine under the lock, counted; the reply's texts logged.
    SlaveReply run(const SlaveProfile &profile, const std::string &peer, const uint8_t *request, size_t n,
                   bool serial);
    int64_t releaseTime() const;

    const SlaveOptions &options_;
    TrafficLog &log_;
    TcpServingClock &clock_;
    mutable std::mutex mu_;
    SlaveTables tables_;
    SlaveCounts counts_;
};
