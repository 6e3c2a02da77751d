// What a master station keeps about its exchanges beyond the last request:
// when the next one goes out (the poll scheduler), the writes waiting for
// their turn, the counters, and the write in flight. Free of widgets and of
// the clock: the window passes the time in (milliseconds, monotonic).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "Exchange_stats.h"
#include "Poll_scheduler.h"
#include "Write_job.h"

class MasterSession {
public:
    PollScheduler &scheduler() { return scheduler_; }
    const PollScheduler &scheduler() const { return scheduler_; }
    const ExchangeStats &stats() const { return stats_; }
    void resetStats() { stats_.reset(); }

    // A request was written at now. An exchange still in flight is given up
    // first: a one-shot send never waits (the station's receive starts over).
    // job: the write that went out, none for a read; queued: it came off
    // the write queue rather than going out at once.
    void sent(int64_t now, const WriteJob *job, bool queued);
    // The read of one of the watched map's blocks was written at now.
    void sentBlock(int64_t now);
    // The answer passed its checksum or framing; code is its function code.
    void answered(int64_t now, int code) { answeredIn(now - sentAt_, code); }
    // The same with the response time the station measured itself.
    void answeredIn(int64_t responseMs, int code);
    // A checksum, LRC or length error.
    void badAnswer() { stats_.error(); }
    void timedOut() { stats_.timedOut(); }
    // The exchange is over (answer handled, error, time-out); true when it
    // ended a cycle that read every block of the map.
    bool ended(int64_t now) { return scheduler_.exchangeEnded(now); }

    // The exchange in flight began while polling: its time-out and checksum
    // errors are counted and logged, never shown in a box.
    bool quiet() const { return scheduler_.busy() && scheduler_.inFlightPolled(); }
    // The write of the last request, none when it was a read.
    const WriteJob *lastWrite() const { return lastWrite_ ? &*lastWrite_ : nullptr; }

    // A write behind the exchange in flight; false (nothing queued) when the
    // queue is full.
    bool queueWrite(WriteJob job);
    // The oldest queued write; the scheduler said SendWrite, so there is one.
    WriteJob takeWrite();
    int pendingWrites() const { return int(writes_.size()); }

private:
    void started(int64_t now, PollScheduler::Exchange kind);

    PollScheduler scheduler_;
    ExchangeStats stats_;
    std::deque<WriteJob> writes_;
    std::optional<WriteJob> lastWrite_;
    int64_t sentAt_ = 0;
};
