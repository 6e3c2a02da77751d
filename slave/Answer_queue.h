// Answers a slave sends later than it made them (an injected delay), kept in
// the order their requests came: an answer never overtakes one made before
// it, even when the delay was shortened in between. One queue per stream
// that must stay in order (a serial line, one TCP connection).
//
// The queue holds at most kMaxAnswers answers, so a master that keeps
// sending while every answer waits cannot make it grow without end; the
// caller withholds what does not fit. Times are milliseconds of a clock the
// caller chooses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class AnswerQueue {
public:
    static constexpr size_t kMaxAnswers = 4096;

    bool empty() const { return answers_.empty(); }
    size_t size() const { return answers_.size(); }
    bool full() const { return answers_.size() >= kMaxAnswers; }

    // Queues frame to go at dueMs, or later if an answer before it is due
    // later still. False (nothing queued) when the queue is full.
    bool push(int64_t dueMs, std::vector<uint8_t> frame);
    // When the first answer is due; only for a queue that is not empty.
    int64_t nextDue() const { return answers_.front().due; }
    // Takes out, in order, every answer due at nowMs.
    std::vector<std::vector<uint8_t>> takeDue(int64_t nowMs);
    void clear() { answers_.clear(); }

private:
    struct Answer {
        int64_t due;
        std::vector<uint8_t> frame;
    };
    std::deque<Answer> answers_;
};
