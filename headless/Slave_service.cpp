#include "Slave_service.h"

#include <cstring>

#include "Strformat.h"

namespace {

bool starts_with(const std::string &s, const char *prefix)
{
    return prefix && s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Is the answer an exception answer (function code with 0x80 set)?
bool is_exception(SlaveFraming framing, const std::vector<uint8_t> &r)
{
    switch (framing) {
    case SlaveFraming::Tcp: return r.size() > 7 && (r[7] & 0x80);
    case SlaveFraming::Rtu: return r.size() > 1 && (r[1] & 0x80);
    case SlaveFraming::Ascii: return r.size() > 3 && r[3] >= '8';  // ":01" then the code's high digit
    }
    return false;
}

}  // namespace

std::string slave_counts_text(const SlaveCounts &c)
{
    return strformat("Req %llu  Ans %llu  Exc %llu  Err %llu  Ign %llu  Drop %llu", (unsigned long long)c.req,
                     (unsigned long long)c.ans, (unsigned long long)c.exc, (unsigned long long)c.err,
                     (unsigned long long)c.ign, (unsigned long long)c.drop);
}

SlaveService::SlaveService(const SlaveOptions &options, TrafficLog &log, TcpServingClock &clock)
    : options_(options), log_(log), clock_(clock)
{
}

SlaveCounts SlaveService::counts() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return counts_;
}

SlaveTables SlaveService::tables() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return tables_;
}

int64_t SlaveService::releaseTime() const
{
    return options_.delayMs > 0 ? clock_.nowNs() + int64_t(options_.delayMs) * 1000000 : 0;
}

SlaveReply SlaveService::run(const SlaveProfile &profile, const std::string &peer, const uint8_t *request, size_t n,
                             bool serial)
{
    // Seam: the unit filter, the dropped and forced answers and the corrupted
    // checksum of the stations' test bench wrap this call once they are in;
    // main() refuses those options until then.
    SlaveReply reply;
    {
        std::lock_guard<std::mutex> lock(mu_);
        reply = serve_slave_request(profile, tables_, request, n);
        ++counts_.req;
        if (reply.sent()) {
            ++counts_.ans;
            if (is_exception(profile.framing, reply.response))
                ++counts_.exc;
        } else if (serial) {
            ++counts_.err;  // a serial request goes unanswered only when its frame is bad
        }
    }
    if (log_.on()) {
        const bool text = profile.framing == SlaveFraming::Ascii;
        log_.frame("RX", peer, request, n, text);
        // The engine's lines, less the frames the RX and TX lines show.
        for (const SlaveEvent &e : reply.events)
            if (e.type == SlaveEvent::Log && !starts_with(e.text, profile.queryCaption) &&
                !starts_with(e.text, profile.responseCaption) && !starts_with(e.text, profile.exceptionCaption))
                log_.event(peer, e.text);
        if (reply.sent()) {
            if (options_.delayMs > 0)
                log_.event(peer, strformat("Delayed %d ms", options_.delayMs));
            log_.frame("TX", peer, reply.response.data(), reply.response.size(), text);
        }
    }
    return reply;
}

void SlaveService::serve(const TcpPeer &peer, const uint8_t *request, size_t n, TcpAnswer &answer)
{
    const SlaveReply reply = run(kSlaveTcpProfile, peer.text, request, n, false);
    if (!reply.sent())
        return;
    answer.assign(reply.response.data(), reply.response.size());
    answer.releaseNs = releaseTime();
}

void SlaveService::connected(const TcpPeer &peer) { log_.event(peer.text, "Client Connect"); }

void SlaveService::disconnected(const TcpPeer &peer) { log_.event(peer.text, "Client DisConnect"); }

void SlaveService::badLength(const TcpPeer &peer, unsigned length)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++counts_.err;
    }
    log_.event(peer.text, strformat("Mod Slave TCP length field error len=%u, connection closed", length));
}

SlaveService::SerialAnswer SlaveService::serveSerial(const SlaveProfile &profile, const std::string &device,
                                                     const uint8_t *request, size_t n)
{
    SlaveReply reply = run(profile, device, request, n, true);
    SerialAnswer a;
    if (reply.sent()) {
        a.bytes = std::move(reply.response);
        a.releaseNs = releaseTime();
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
        ++counts_.err;
    }
    log_.event(device, text);
}
