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
}

SlaveStats SlaveService::stats() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return bench_.stats;
}

SlaveTables SlaveService::tables() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return tables_;
}

void SlaveService::setTables(const SlaveTables &tables)
{
    std::lock_guard<std::mutex> lock(mu_);
    tables_ = tables;
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
        out = bench_.serve(profile, tables_, request, n);
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
