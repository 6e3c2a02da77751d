#include "Exchange_stats.h"

#include <cinttypes>
#include <cstdio>

void ExchangeStats::answered(int64_t responseMs, bool exception)
{
    if (responseMs < 0)  // a clock that stepped back: the time is unknown, not negative
        responseMs = 0;
    last_ = responseMs;
    min_ = rx_ == 0 || responseMs < min_ ? responseMs : min_;
    max_ = rx_ == 0 || responseMs > max_ ? responseMs : max_;
    sum_ += responseMs;
    ++rx_;
    if (exception)
        ++exc_;
}

std::string ExchangeStats::label() const
{
    char text[200];
    if (rx_ == 0) {
        std::snprintf(text, sizeof text,
                      "Tx %" PRIu64 "  Rx 0  Exc 0  Err %" PRIu64 "  T/O %" PRIu64
                      "  last - ms  min - ms  avg - ms  max - ms",
                      tx_, err_, timeouts_);
        return text;
    }
    const int64_t avg = (sum_ + int64_t(rx_ / 2)) / int64_t(rx_);
    std::snprintf(text, sizeof text,
                  "Tx %" PRIu64 "  Rx %" PRIu64 "  Exc %" PRIu64 "  Err %" PRIu64 "  T/O %" PRIu64
                  "  last %" PRId64 " ms  min %" PRId64 " ms  avg %" PRId64 " ms  max %" PRId64 " ms",
                  tx_, rx_, exc_, err_, timeouts_, last_, min_, avg, max_);
    return text;
}
