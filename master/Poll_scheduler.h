// When a master station sends: one exchange at a time, poll cycles no
// faster than the interval (start to start), writes the operator asked for
// between cycles. A cycle reads what is ticked: the request fields first,
// then the blocks of the watched map one after the other. Pure state with
// the time passed in (milliseconds of a monotonic clock), so the station's
// timer and the tests drive it alike.
//
// The station asks next(now) whenever something may have changed (a timer
// tick, an exchange ended, a button) and does what the step says; it reports
// what it actually sent with exchangeStarted() and the end of every exchange
// (answer, error or time-out) with exchangeEnded().
#pragma once

#include <cstdint>

class PollScheduler {
public:
    static constexpr int64_t kMaxIntervalMs = 3600000;
    static constexpr int64_t kDefaultIntervalMs = 1000;
    // Writes the operator may queue behind an exchange in flight.
    static constexpr int kMaxPendingWrites = 16;

    enum class Exchange { Read, Write, Block };
    struct Step {
        enum Kind {
            Idle,       // nothing to do until the station is told something new
            SendRead,   // send the current read request now
            SendBlock,  // send the read of the map's block `block` now
            SendWrite,  // send the oldest queued write now
            WaitUntil,  // ask again at `at`
            TimedOut,   // the exchange in flight got no answer in time: count it, end it
        };
        Kind kind = Idle;
        int64_t at = 0;
        int block = 0;
    };

    // Polling the request fields.
    void setPoll(bool on) { poll_ = on; }
    bool polling() const { return poll_; }
    // Watching a map read in `blocks` requests; 0: not watching. A cycle
    // under way reads the blocks left of the new count.
    void setWatch(int blocks);
    int watchBlocks() const { return watchBlocks_; }
    // Clamped to 0..kMaxIntervalMs; 0 polls as soon as the previous exchange
    // ends. Applies from the next cycle on.
    void setInterval(int64_t ms);
    int64_t interval() const { return interval_; }
    // How long an exchange may wait for its answer; 0 (default) leaves the
    // time-out to the receiver.
    void setAnswerTimeout(int64_t ms) { answerTimeout_ = ms < 0 ? 0 : ms; }

    // One read outside polling (the operator's own send).
    void requestRead() { readRequested_ = true; }
    // Queues a write; false (nothing queued) when kMaxPendingWrites wait already.
    bool requestWrite();
    // A queued write that will not go out after all (its checks failed).
    void writeDropped();
    int pendingWrites() const { return pendingWrites_; }

    // false, and nothing changes, while another exchange is in flight. A
    // read or block sent between cycles starts one; a Block is the next one
    // of the cycle (SendBlock's).
    bool exchangeStarted(int64_t now, Exchange kind);
    // true when this ended a cycle that read every block of the map (none
    // left out by clear() or a change of setWatch()).
    bool exchangeEnded(int64_t now);
    bool busy() const { return inFlight_; }
    // The exchange in flight was started while polling or watching: its
    // time-out or checksum error is counted and logged without a box.
    bool inFlightPolled() const { return inFlightPolled_; }

    Step next(int64_t now) const;

    // Forgets queued writes and a requested read (port closed, link lost);
    // the exchange in flight, if any, still ends with exchangeEnded().
    void clear();

private:
    // What the cycle under way does next, Idle when it has nothing left.
    Step cycleStep() const;

    bool poll_ = false;
    int watchBlocks_ = 0;
    bool inCycle_ = false;
    int nextBlock_ = 0;  // of the cycle under way
    bool cycleWhole_ = false;
    int64_t interval_ = kDefaultIntervalMs;
    int64_t answerTimeout_ = 0;
    bool readRequested_ = false;
    int pendingWrites_ = 0;
    bool inFlight_ = false;
    bool inFlightPolled_ = false;
    int64_t inFlightStart_ = 0;
    bool anyRead_ = false;
    int64_t lastReadStart_ = 0;
};
