#include "Poll_scheduler.h"

void PollScheduler::setInterval(int64_t ms)
{
    interval_ = ms < 0 ? 0 : ms > kMaxIntervalMs ? kMaxIntervalMs : ms;
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
    inFlightPolled_ = poll_;
    inFlightStart_ = now;
    if (kind == Exchange::Write) {
        writeDropped();
    } else {
        readRequested_ = false;
        anyRead_ = true;
        lastReadStart_ = now;
    }
    return true;
}

void PollScheduler::exchangeEnded(int64_t)
{
    inFlight_ = false;
    inFlightPolled_ = false;
}

PollScheduler::Step PollScheduler::next(int64_t now) const
{
    if (inFlight_) {
        if (answerTimeout_ == 0)
            return {};
        const int64_t deadline = inFlightStart_ + answerTimeout_;
        return {.kind = now >= deadline ? Step::TimedOut : Step::WaitUntil, .at = deadline};
    }
    if (pendingWrites_ > 0)
        return {.kind = Step::SendWrite};
    if (readRequested_)
        return {.kind = Step::SendRead};
    if (!poll_)
        return {};
    if (!anyRead_)
        return {.kind = Step::SendRead};
    int64_t due = lastReadStart_ + interval_;
    // A clock that stepped back must not hold polling up for longer than
    // one interval.
    if (due > now + interval_)
        due = now + interval_;
    if (now >= due)
        return {.kind = Step::SendRead};
    return {.kind = Step::WaitUntil, .at = due};
}

void PollScheduler::clear()
{
    pendingWrites_ = 0;
    readRequested_ = false;
}
