#include "Slave_service.h"

#include <cstring>

#include "Rtu_stream.h"
#include "Strformat.h"

namespace {

bool starts_with(const std::string &s, const char *prefix)
{
    return prefix && s.compare(0, std::strlen(prefix), prefix) == 0;
}

Traffic_framing traffic_framing(SlaveFraming framing)
{
    switch (framing) {
    case SlaveFraming::Rtu: return Traffic_framing::Rtu;
    case SlaveFraming::Ascii: return Traffic_framing::Ascii;
    case SlaveFraming::Tcp: break;
    }
    return Traffic_framing::Tcp;
}

// RTU over TCP is logged as RTU frames, with the client's address.
TrafficSource tcp_source(const TcpPeer &peer)
{
    return {.framing = peer.framing == TcpFraming::Rtu ? Traffic_framing::Rtu : Traffic_framing::Tcp,
            .peer = tcp_peer_endpoint(peer.text),
            .device = {}};
}

const SlaveProfile &tcp_profile(const TcpPeer &peer)
{
    return peer.framing == TcpFraming::Rtu ? kSlaveRtuProfile : kSlaveTcpProfile;
}

TrafficSource serial_source(const SlaveProfile &profile, const std::string &device)
{
    return {.framing = traffic_framing(profile.framing), .peer = {}, .device = device};
}

}  // namespace

SlaveService::SlaveService(const SlaveOptions &options, TrafficLog &log, TcpServingClock &clock)
    : log_(log), clock_(clock)
{
    bench_.units = options.unitFilter;
    bench_.faults = {.delayMs = options.delayMs,
                     .dropEvery = unsigned(options.dropEvery),
                     .exceptionCode = uint8_t(options.forcedException),
                     .corruptChecksum = options.corrupt};
    bench_.serving.codes = options.codes;
    bench_.serving.identity = options.identity;
    // The memo lines are read only to be logged (--log); without it the
    // engine builds none of them.
    bench_.serving.logTexts = log.on();
}

void SlaveService::setMap(SlaveMap map)
{
    std::lock_guard<std::mutex> lock(mu_);
    shared_.map = std::move(map);
    apply_simulation(shared_.tables, shared_.map.initialUpdates());
}

void SlaveService::addDevice(uint8_t unit, const PagedTables &tables, SlaveMap map)
{
    auto d = std::make_unique<Served>();
    d->tables = tables;
    d->map = std::move(map);
    apply_simulation(d->tables, d->map.initialUpdates());
    std::lock_guard<std::mutex> lock(mu_);
    byUnit_[unit] = d.get();
    devices_.push_back(std::move(d));
    units_.push_back(unit);
    // The units named are the filter: another gets no answer on a serial
    // line and exception 0B over TCP.
    std::string list;
    for (uint8_t u : units_)
        list += (list.empty() ? "" : ",") + std::to_string(u);
    std::string error;
    UnitFilter::parse(list, bench_.units, error);
}

void SlaveService::simulationTick(const SimTime &now)
{
    std::lock_guard<std::mutex> lock(mu_);
    apply_simulation(shared_.tables, shared_.map.simulation().tick(now));
    for (auto &d : devices_)
        apply_simulation(d->tables, d->map.simulation().tick(now));
}

bool SlaveService::simulated() const
{
    std::lock_guard<std::mutex> lock(mu_);
    if (shared_.map.simulation().size() > 0)
        return true;
    for (const auto &d : devices_)
        if (d->map.simulation().size() > 0)
            return true;
    return false;
}

SlaveBenchReply SlaveService::serveOn(Served &d, const SlaveProfile &profile, const uint8_t *request, size_t n)
{
    // Each device counts its own requests for code 11.
    const bool own = &d != &shared_;
    if (own)
        std::swap(bench_.serveState, d.state);
    SlaveBenchReply out = bench_.serve(profile, d.tables, request, n);
    if (own)
        std::swap(bench_.serveState, d.state);
    if (d.map.simulation().size() > 0)
        for (const SlaveEvent &e : out.reply.events)
            if (e.type == SlaveEvent::Changed)
                d.map.simulation().written(e.kind, e.index);
    return out;
}

SlaveStats SlaveService::stats() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return bench_.stats;
}

PagedTables SlaveService::tables() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return shared_.tables;
}

void SlaveService::setTables(const PagedTables &tables)
{
    std::lock_guard<std::mutex> lock(mu_);
    shared_.tables = tables;
}

int64_t SlaveService::releaseTime(int delayMs) const
{
    return delayMs > 0 ? clock_.nowNs() + int64_t(delayMs) * 1000000 : 0;
}

SlaveBenchReply SlaveService::run(const SlaveProfile &profile, const TrafficSource &from, const uint8_t *request,
                                  size_t n)
{
    SlaveBenchReply out;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (devices_.empty()) {
            out = serveOn(shared_, profile, request, n);
        } else {
            // A unit without tables of its own is refused by the filter
            // before any tables are touched; so is a broken request.
            uint8_t unit = 0;
            const bool known = slave_request_unit(profile.framing, request, n, unit);
            Served *d = known && byUnit_[unit] ? byUnit_[unit] : devices_.front().get();
            out = serveOn(*d, profile, request, n);
            // A serial broadcast writes to every device on the line.
            if (known && unit == 0 && profile.framing != SlaveFraming::Tcp && bench_.faults.exceptionCode == 0)
                for (auto &other : devices_)
                    if (other.get() != d) {
                        const SlaveReply r =
                            serve_slave_request(profile, other->tables, request, n, bench_.serving, other->state);
                        for (const SlaveEvent &e : r.events)
                            if (e.type == SlaveEvent::Changed)
                                other->map.simulation().written(e.kind, e.index);
                    }
        }
    }
    if (log_.on()) {
        log_.frame(Traffic_direction::Rx, from, request, n);
        // The memos' lines, less those that show the frames: the RX and TX
        // lines show them with their decoding.
        for (SlaveEvent &e : out.reply.events)
            if (e.type == SlaveEvent::Log && !starts_with(e.text, profile.queryCaption) &&
                !starts_with(e.text, profile.responseCaption) && !starts_with(e.text, profile.exceptionCaption))
                log_.event(from, std::move(e.text));
    }
    return out;
}

void SlaveService::serve(const TcpPeer &peer, const uint8_t *request, size_t n, TcpAnswer &answer)
{
    const TrafficSource from = log_.on() ? tcp_source(peer) : TrafficSource{};
    const SlaveBenchReply out = run(tcp_profile(peer), from, request, n);
    if (!out.reply.sent())
        return;
    answer.assign(out.reply.response.data(), out.reply.response.size());
    answer.releaseNs = releaseTime(out.delayMs);
}

void SlaveService::connected(const TcpPeer &peer)
{
    if (log_.on())
        log_.event(tcp_source(peer), "Client Connect");
}

void SlaveService::disconnected(const TcpPeer &peer)
{
    if (log_.on())
        log_.event(tcp_source(peer), "Client DisConnect");
}

void SlaveService::badLength(const TcpPeer &peer, unsigned length)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++bench_.stats.err;
    }
    if (log_.on())
        log_.event(tcp_source(peer), strformat("Mod Slave TCP length field error len=%u, connection closed", length));
}

void SlaveService::streamDropped(const TcpPeer &peer, TcpStreamDrop why, const uint8_t *bytes, size_t n)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++bench_.stats.err;
    }
    if (log_.on())
        log_.event(tcp_source(peer),
                   "Mod Slave " + rtu_stream_drop_text(why == TcpStreamDrop::Unfinished ? RtuStream::Kind::Timed_out
                                                                                        : RtuStream::Kind::Garbage,
                                                       n),
                   bytes, n);
}

void SlaveService::refused(const TcpPeer &peer, Udp_message why, const uint8_t *bytes, size_t n)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++bench_.stats.err;
    }
    if (log_.on())
        log_.event(tcp_source(peer), "Mod Slave " + udp_refusal_text(why, n), bytes, n);
}

void SlaveService::sent(const TcpPeer &peer, const uint8_t *answer, size_t n)
{
    log_.frame(Traffic_direction::Tx, tcp_source(peer), answer, n);
}

void SlaveService::unsent(const TcpPeer &peer, const uint8_t *answer, size_t n)
{
    log_.event(tcp_source(peer),
               peer.datagram ? "Answer not sent" : "Answer not sent: the connection closed first", answer, n);
}

SlaveService::SerialAnswer SlaveService::serveSerial(const SlaveProfile &profile, const std::string &device,
                                                     const uint8_t *request, size_t n)
{
    SlaveBenchReply out = run(profile, serial_source(profile, device), request, n);
    SerialAnswer a;
    if (out.reply.sent()) {
        a.bytes = std::move(out.reply.response);
        a.releaseNs = releaseTime(out.delayMs);
    }
    return a;
}

void SlaveService::serialNote(const std::string &device, const std::string &text)
{
    // A request dropped as too long or unfinished is a framing error; the
    // ASCII receiver follows its unfinished-request line with "Time out
    // error" for the same request, which is not counted again.
    if (text != "Time out error") {
        std::lock_guard<std::mutex> lock(mu_);
        ++bench_.stats.err;
    }
    // An event line shows no frame, so the framing it is formatted in does
    // not matter; the device says which line it came from.
    log_.event({.framing = Traffic_framing::Rtu, .peer = {}, .device = device}, text);
}

void SlaveService::serialSent(const SlaveProfile &profile, const std::string &device, const uint8_t *answer,
                              size_t n)
{
    if (log_.on())
        log_.frame(Traffic_direction::Tx, serial_source(profile, device), answer, n);
}

void SlaveService::serialUnsent(const SlaveProfile &profile, const std::string &device, const uint8_t *answer,
                                size_t n)
{
    if (log_.on())
        log_.event(serial_source(profile, device), "Answer not sent: the line closed first", answer, n);
}
