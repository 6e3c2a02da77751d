// The one serving entry point of the slave stations and the headless slave:
// the serving engine with the unit filter in front of it, the injected faults
// behind it, and the counters.
//
// With no filter and no fault set a request goes straight to the engine and
// only the counters are added. Otherwise:
// - A request whose checksum or framing is broken goes to the engine as it
//   is: the engine logs the error, writes nothing and answers nothing.
// - The filter is checked before the engine runs, so an ignored request never
//   writes a table. A serial request for a unit outside the filter gets no
//   answer and a Memo1 line "Ignored: unit N"; a Modbus/TCP one gets
//   exception 0B (gateway target failed to respond), as a gateway would.
//   Faults do not apply to either: the device addressed is not there.
// - Serial broadcast (unit 0) is served whether or not the filter lists 0,
//   but never answered while a filter is set; the lower memo says so.
// - A forced exception answers every request in place of the engine, which
//   then does not run: the tables do not change behind an exception answer.
// - Drops, corruption and the delay are applied to the answer by
//   apply_faults; each adds its Memo2 line after the engine's lines. The
//   logged answer is the one that goes out, checksum corrupted or not; a
//   withheld answer stays logged as the engine built it.
//
// One SlaveBench may serve several transports (each request says which
// profile frames it); its counters and drop count are then shared. It is
// used from one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Fault_injection.h"
#include "Slave_engine.h"
#include "Slave_stats.h"
#include "Slave_tables.h"
#include "Unit_filter.h"

struct SlaveBenchReply {
    // The engine's reply, amended: no Send event (and an empty response) when
    // nothing is to be sent.
    SlaveReply reply;
    // The Send event goes out this much later; the caller keeps answers in
    // order and must not block while it waits.
    int delayMs = 0;
    // The lines of what the filter and the injected faults did (also logged
    // in the reply), for the traffic history.
    std::vector<std::string> notes;
};

class SlaveBench {
public:
    SlaveBenchReply serve(const SlaveProfile &profile, SlaveTables &tables, const uint8_t *request, size_t n);
    // The same on tables of any size.
    SlaveBenchReply serve(const SlaveProfile &profile, SlaveMemory &tables, const uint8_t *request, size_t n);

    UnitFilter units;
    FaultOptions faults;
    FaultState faultState;
    SlaveStats stats;
    // The codes answered and the identity given; the classic codes by default.
    SlaveServeOptions serving;
    // The engine's own count of what it served (code 11); not reset with stats.
    SlaveServeState serveState;

private:
    SlaveBenchReply serveFiltered(const SlaveProfile &profile, SlaveMemory &tables, const uint8_t *request,
                                  size_t n);
    void count(SlaveFraming framing, const SlaveReply &reply);
};

// The unit address of a request as the bench reads it for its filter; false
// when the request is broken (checksum, framing) or carries none.
bool slave_request_unit(SlaveFraming framing, const uint8_t *request, size_t n, uint8_t &unit);

// True when frame (an answer as the profile frames it) is an exception answer.
bool slave_answer_is_exception(SlaveFraming framing, const std::vector<uint8_t> &frame);
