// The counters a master station shows for its exchanges: requests written,
// answers that passed the checksum or framing (exception answers among
// them), checksum/LRC/length errors, exchanges without an answer, and the
// response times of the exchanges that got an answer.
#pragma once

#include <cstdint>
#include <string>

class ExchangeStats {
public:
    void requestWritten() { ++tx_; }
    // An answer complete responseMs after its request was written.
    void answered(int64_t responseMs, bool exception);
    void error() { ++err_; }
    void timedOut() { ++timeouts_; }
    void reset() { *this = ExchangeStats(); }

    uint64_t tx() const { return tx_; }
    uint64_t rx() const { return rx_; }
    uint64_t exceptions() const { return exc_; }
    uint64_t errors() const { return err_; }
    uint64_t timeouts() const { return timeouts_; }

    // "Tx N  Rx N  Exc N  Err N  T/O N  last L ms  min A ms  avg B ms  max C ms",
    // the times "-" until the first answer, the average rounded to whole ms.
    std::string label() const;

private:
    uint64_t tx_ = 0, rx_ = 0, exc_ = 0, err_ = 0, timeouts_ = 0;
    int64_t last_ = 0, min_ = 0, max_ = 0;
    int64_t sum_ = 0;  // of all response times, for the average
};
