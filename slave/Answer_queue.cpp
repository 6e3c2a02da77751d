#include "Answer_queue.h"

#include <algorithm>
#include <utility>

bool AnswerQueue::push(int64_t dueMs, std::vector<uint8_t> frame)
{
    if (full())
        return false;
    // Due times never decrease along the queue, so the front is always the
    // next one to go and takeDue stops at the first one not due.
    const int64_t due = answers_.empty() ? dueMs : std::max(dueMs, answers_.back().due);
    answers_.push_back({.due = due, .frame = std::move(frame)});
    return true;
}

std::vector<std::vector<uint8_t>> AnswerQueue::takeDue(int64_t nowMs)
{
    std::vector<std::vector<uint8_t>> out;
    while (!answers_.empty() && answers_.front().due <= nowMs) {
        out.push_back(std::move(answers_.front().frame));
        answers_.pop_front();
    }
    return out;
}
