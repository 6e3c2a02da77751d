#include "Line_writer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <poll.h>
#include <unistd.h>

struct LineWriter::State {
    int fd;
    size_t capacity;
    Notice notice;
    std::mutex mu;
    std::condition_variable wake;      // lines queued, lines dropped, or closing
    std::condition_variable finished;  // done is set
    std::deque<std::string> lines;
    size_t bytes = 0;
    uint64_t dropped = 0;
    uint64_t unreported = 0;  // dropped since the last notice
    size_t inFlight = 0;      // lines the writer has taken whose '\n' is not written yet
    bool closing = false;
    bool done = false;
    bool broken = false;  // the output failed for good (its reader is gone): all is dropped

    // The writer's thread: takes everything queued at once, so that a reader
    // that comes back after a while gets the backlog in few writes.
    void run()
    {
        std::unique_lock<std::mutex> lock(mu);
        for (;;) {
            wake.wait(lock, [&] { return !lines.empty() || (unreported > 0 && !broken) || closing; });
            if (lines.empty() && (closing || broken))
                break;
            std::string batch;
            batch.reserve(bytes + 128);
            for (const std::string &l : lines)
                batch += l;
            inFlight = lines.size();
            lines.clear();
            bytes = 0;
            // The lines dropped came after every line taken now: the queue
            // was full when they came.
            if (unreported > 0) {
                batch += notice(unreported);
                unreported = 0;
            }
            lock.unlock();
            const bool written = writeAll(batch);
            lock.lock();
            if (!written) {
                broken = true;
                dropped += inFlight + lines.size();
                lines.clear();
                bytes = 0;
            }
            inFlight = 0;
        }
        done = true;
        finished.notify_all();
    }

    // Writes whole lines of at most a pipe's atomic size at a time where
    // it can, so that a writer given up while blocked has put only whole
    // lines out, each of which was counted as written.
    bool writeAll(const std::string &batch)
    {
        size_t off = 0;
        while (off < batch.size()) {
            size_t n = std::min(batch.size() - off, size_t(PIPE_BUF));
            if (off + n < batch.size())
                if (const size_t nl = batch.rfind('\n', off + n - 1); nl != std::string::npos && nl >= off)
                    n = nl + 1 - off;
            const ssize_t w = ::write(fd, batch.data() + off, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // An output left non-blocking by whoever opened it.
                pollfd p{.fd = fd, .events = POLLOUT, .revents = 0};
                (void)poll(&p, 1, -1);
                continue;
            }
            if (w <= 0)
                return false;
            const auto from = batch.begin() + std::ptrdiff_t(off);
            const size_t whole = size_t(std::count(from, from + w, '\n'));
            off += size_t(w);
            std::lock_guard<std::mutex> lock(mu);
            inFlight -= std::min(whole, inFlight);
        }
        return true;
    }
};

LineWriter::LineWriter(int fd, size_t capacityBytes, Notice notice)
{
    if (fd < 0)
        return;
    state_ = std::make_shared<State>();
    state_->fd = fd;
    state_->capacity = capacityBytes;
    state_->notice = std::move(notice);
    thread_ = std::thread([s = state_] { s->run(); });
}

LineWriter::~LineWriter() { close(0); }

void LineWriter::push(std::string line)
{
    if (!state_)
        return;
    State &s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.closing || s.broken || s.bytes + line.size() > s.capacity) {
        ++s.dropped;
        ++s.unreported;
        if (s.lines.empty())
            s.wake.notify_one();
        return;
    }
    s.bytes += line.size();
    s.lines.push_back(std::move(line));
    if (s.lines.size() == 1)
        s.wake.notify_one();
}

uint64_t LineWriter::dropped() const
{
    if (!state_)
        return 0;
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->dropped;
}

uint64_t LineWriter::close(int waitMs)
{
    if (!state_)
        return 0;
    State &s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    s.closing = true;
    s.wake.notify_all();
    const bool finished =
        s.finished.wait_for(lock, std::chrono::milliseconds(std::max(waitMs, 0)), [&] { return s.done; });
    if (!finished) {
        // The output is not being read: what it has not taken is lost.
        s.dropped += s.lines.size() + s.inFlight;
        s.lines.clear();
        s.bytes = 0;
        s.inFlight = 0;
    }
    const uint64_t total = s.dropped;
    lock.unlock();
    if (thread_.joinable()) {
        // A writer still blocked in write() holds the state with it and
        // ends with the process.
        if (finished)
            thread_.join();
        else
            thread_.detach();
    }
    return total;
}

bool write_within(int fd, std::string_view text, int waitMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs);
    while (!text.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        pollfd p{.fd = fd, .events = POLLOUT, .revents = 0};
        const int r = poll(&p, 1, int(std::max<int64_t>(left, 0)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (p.revents & (POLLERR | POLLNVAL)))
            return false;
        // No more than a pipe takes at once once it has room: never blocks.
        const ssize_t w = ::write(fd, text.data(), std::min(text.size(), size_t(PIPE_BUF)));
        if (w < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (w <= 0)
            return false;
        text.remove_prefix(size_t(w));
    }
    return true;
}
