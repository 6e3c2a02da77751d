// One run of quillan-poll: the plan's requests, one exchange at a time, poll
// after poll until the count, the time or a stop signal ends them; or a scan
// of device addresses. Every exchange is counted as the stations count them,
// and its answer judged against its request before anything is taken from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Answer_check.h"
#include "Exchange_stats.h"
#include "Poll_link.h"
#include "Poll_options.h"
#include "Poll_plan.h"
#include "Poll_printer.h"

// What one exchange came to.
struct Poll_result {
    enum Kind : uint8_t { Ok, Exception, TimeOut, ChecksumError, BadAnswer, NotConnected, Sent, Stopped };
    Kind kind = TimeOut;
    uint8_t exception = 0;
    Frame_pdu answer;
    int64_t responseMs = 0;
    std::string status;  // "ok", "exception 02", "time-out", "CRC error", "bad answer", "not connected"

    // Counts against the exit status: anything but an answer without an
    // exception, or a broadcast that went out.
    bool failed() const { return kind != Ok && kind != Sent; }
};

class Poll_runner {
public:
    Poll_runner(const Poll_options &options, Poll_plan &plan, Poll_link &link, Poll_printer &printer);

    // The polls; 0 when every exchange was answered without an exception, else 1.
    int run();
    // The scan (--scan): 0 when a device was found, else 1.
    int scan();
    // One exchange of a request.
    Poll_result exchange(const Poll_request &request);

    const ExchangeStats &stats() const { return stats_; }

private:
    bool poll(std::vector<Entry_reading> &readings);
    Poll_result identify(uint8_t unit, std::vector<Identity_object> &objects);

    const Poll_options &o_;
    Poll_plan &plan_;
    Poll_link &link_;
    Poll_printer &printer_;
    ExchangeStats stats_;
    bool failed_ = false;
    uint8_t frame_[512];
};
