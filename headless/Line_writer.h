// Lines for an output that may not be read (a log on stdout held by a test
// harness that never reads it), written by a thread of their own so that the
// threads that make them never wait for the reader.
//
// The queue holds at most a given number of bytes. A line that does not fit
// is dropped and counted; when the writer next finds room in the output, it
// writes one line, made by the notice function, that says how many were
// dropped, where they were missing. close() gives the writer a bounded time
// to finish: a reader that never comes cannot hold up the end of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

class LineWriter {
public:
    // The line (ending in '\n') that tells of `dropped` lines missing here.
    using Notice = std::function<std::string(uint64_t dropped)>;

    // fd < 0: off; every line is refused, and nothing is counted.
    LineWriter(int fd, size_t capacityBytes, Notice notice);
    // Closes without waiting.
    ~LineWriter();
    LineWriter(const LineWriter &) = delete;
    LineWriter &operator=(const LineWriter &) = delete;

    bool on() const { return state_ != nullptr; }
    // Queues a whole line (its '\n' included), or drops it when full. Never waits for the output.
    void push(std::string line);
    // Lines dropped so far.
    uint64_t dropped() const;
    // Takes no more lines and lets the writer finish what is queued for at
    // most waitMs; what is then still unwritten counts as dropped. Returns
    // the lines dropped in all.
    uint64_t close(int waitMs);

private:
    struct State;
    std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
    std::thread thread_;
};

// Writes text to fd, waiting at most waitMs in all for the output to take it
// (a full pipe is not waited on for ever). False when it was not all written.
bool write_within(int fd, std::string_view text, int waitMs);
