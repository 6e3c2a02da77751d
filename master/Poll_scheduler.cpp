#include "Poll_scheduler.h"

void PollScheduler::setInterval(int64_t ms)
{
    interval_ = ms < 0 ? 0 : ms > kMaxIntervalMs ? kMaxIntervalMs : ms;
}

void PollScheduler::setWatch(int blocks)
{
    blocks = blocks < 0 ? 0 : blocks;
    if (blocks != watchBlocks_)
        cycleWhole_ = false;
    watchBlocks_ = blocks;
}

bool PollScheduler::requestWrite()
{
    if (pendingWrites_ >= kMaxPendingWrites)
        return false;
    ++pendingWrites_;
    return true;
}

void PollScheduler::writeDropped()
{
    if (pendingWrites_ > 0)
        --pendingWrites_;
}

bool PollScheduler::exchangeStarted(int64_t now, Exchange kind)
{
    if (inFlight_)
        return false;
    inFlight_ = true;
    inFlightPolled_ = poll_ || watchBlocks_ > 0;
    inFlightStart_ = now;
    if (kind == Exchange::Write) {
        writeDropped();
        return true;
    }
    if (kind == Exchange::Read)
        readRequested_ = false;
    if (!inCycle_ || cycleStep().kind == Step::Idle) {
        // The first read of a cycle: the interval counts from here, and the
        // map's blocks follow (a fields read begins before them).
        inCycle_ = true;
        cycleWhole_ = true;
        nextBlock_ = 0;
        anyRead_ = true;
        lastReadStart_ = now;
    }
    if (kind == Exchange::Block)
        ++nextBlock_;
    return true;
}

bool PollScheduler::exchangeEnded(int64_t)
{
    inFlight_ = false;
    inFlightPolled_ = false;
    if (!inCycle_ || cycleStep().kind != Step::Idle)
        return false;
    inCycle_ = false;
    return cycleWhole_ && watchBlocks_ > 0;
}

PollScheduler::Step PollScheduler::cycleStep() const
{
    if (watchBlocks_ > 0 && nextBlock_ < watchBlocks_)
        return {.kind = Step::SendBlock, .block = nextBlock_};
    return {};
}

PollScheduler::Step PollScheduler::next(int64_t now) const
{
    if (inFlight_) {
        if (answerTimeout_ == 0)
            return {};
        const int64_t deadline = inFlightStart_ + answerTimeout_;
        return {.kind = now >= deadline ? Step::TimedOut : Step::WaitUntil, .at = deadline};
    }
    if (inCycle_) {
        const Step step = cycleStep();
        if (step.kind != Step::Idle)
            return step;
    }
    // Between cycles.
    if (pendingWrites_ > 0)
        return {.kind = Step::SendWrite};
    if (readRequested_)
        return {.kind = Step::SendRead};
    if (!poll_ && watchBlocks_ == 0)
        return {};
    // A cycle begins with the request fields when they are polled.
    const Step first = poll_ ? Step{.kind = Step::SendRead} : Step{.kind = Step::SendBlock, .block = 0};
    if (!anyRead_)
        return first;
    int64_t due = lastReadStart_ + interval_;
    // A clock that stepped back must not hold polling up for longer than
    // one interval.
    if (due > now + interval_)
        due = now + interval_;
    if (now >= due)
        return first;
    return {.kind = Step::WaitUntil, .at = due};
}

void PollScheduler::clear()
{
    pendingWrites_ = 0;
    readRequested_ = false;
    // The blocks left of a cycle under way are not read.
    nextBlock_ = watchBlocks_;
    cycleWhole_ = false;
}
