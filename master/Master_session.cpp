#include "Master_session.h"

#include "Answer_code.h"

void MasterSession::started(int64_t now, PollScheduler::Exchange kind)
{
    if (scheduler_.busy())
        scheduler_.exchangeEnded(now);
    scheduler_.exchangeStarted(now, kind);
    sentAt_ = now;
    stats_.requestWritten();
}

void MasterSession::sent(int64_t now, const WriteJob *job, bool queued)
{
    const int waiting = scheduler_.pendingWrites();
    started(now, job ? PollScheduler::Exchange::Write : PollScheduler::Exchange::Read);
    // The scheduler takes a started write off its queue; one sent at once
    // (outside polling) was never on it.
    if (job && !queued && scheduler_.pendingWrites() < waiting)
        scheduler_.requestWrite();
    if (job)
        lastWrite_ = *job;
    else
        lastWrite_.reset();
}

void MasterSession::sentBlock(int64_t now)
{
    started(now, PollScheduler::Exchange::Block);
    lastWrite_.reset();
}

void MasterSession::answeredIn(int64_t responseMs, int code)
{
    stats_.answered(responseMs, is_exception_code(code));
}

bool MasterSession::queueWrite(WriteJob job)
{
    if (!scheduler_.requestWrite())
        return false;
    writes_.push_back(std::move(job));
    return true;
}

WriteJob MasterSession::takeWrite()
{
    WriteJob job = std::move(writes_.front());
    writes_.pop_front();
    return job;
}
