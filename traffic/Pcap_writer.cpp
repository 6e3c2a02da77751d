#include "Pcap_writer.h"

#include "Traffic_history.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <tuple>

namespace {

constexpr uint32_t kSnapLength = 65535;
// Where each direction of a connection starts counting; any value does, the
// same for all keeps captures of the same traffic identical.
constexpr uint32_t kInitialSequence = 1;

void put16(uint8_t *p, unsigned v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// The file and record headers are in the writer's byte order, which the
// magic number tells readers; written little-endian here on every machine.
void put32le(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

void put16le(uint8_t *p, unsigned v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// The Internet checksum's running sum over n bytes (RFC 1071).
uint32_t sum16(const uint8_t *p, size_t n, uint32_t sum = 0)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += uint32_t(p[i]) << 8 | p[i + 1];
    if (n % 2)
        sum += uint32_t(p[n - 1]) << 8;
    return sum;
}

uint16_t fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

void write_file_header(Traffic_file &file, uint32_t linktype)
{
    file.write(pcap_file_header(linktype));
}

void write_record(Traffic_file &file, int64_t time_ms, const uint8_t *head, size_t head_n,
                  const std::string &data, size_t original)
{
    file.write(pcap_record_header(time_ms, head_n + data.size(), head_n + original));
    file.write(head, head_n);
    file.write(data);
}

using Ipv4 = std::array<uint8_t, 4>;
using Flow = std::tuple<Ipv4, uint16_t, Ipv4, uint16_t>;  // source, its port, destination, its port

Ipv4 ipv4_of(const Traffic_endpoint &e)
{
    return {e.address[0], e.address[1], e.address[2], e.address[3]};
}

// IPv4 and TCP headers (20 bytes each, no options) in front of a segment
// carrying `original` bytes, of which `kept` are in the capture.
class Tcp_segments {
public:
    std::array<uint8_t, 40> header(const Traffic_endpoint &from, const Traffic_endpoint &to,
                                   const std::string &kept, size_t original)
    {
        const Ipv4 src = ipv4_of(from), dst = ipv4_of(to);
        uint32_t &seq = next_.try_emplace(Flow{src, from.port, dst, to.port}, kInitialSequence)
                            .first->second;
        const auto back = next_.find(Flow{dst, to.port, src, from.port});
        const uint32_t ack = back == next_.end() ? kInitialSequence : back->second;

        std::array<uint8_t, 40> h{};
        uint8_t *ip = h.data();
        uint8_t *tcp = h.data() + 20;
        const size_t payload = std::min<size_t>(original, 65535 - 40);
        ip[0] = 0x45;  // version 4, 5 words of header
        put16(ip + 2, unsigned(40 + payload));
        put16(ip + 4, ident_++);
        put16(ip + 6, 0x4000);  // don't fragment
        ip[8] = 64;             // time to live
        ip[9] = 6;              // TCP
        std::memcpy(ip + 12, src.data(), 4);
        std::memcpy(ip + 16, dst.data(), 4);
        put16(ip + 10, fold(sum16(ip, 20)));

        put16(tcp, from.port);
        put16(tcp + 2, to.port);
        put32(tcp + 4, seq);
        put32(tcp + 8, ack);
        tcp[12] = 5 << 4;  // 5 words of header
        tcp[13] = 0x18;    // PSH, ACK
        put16(tcp + 14, 65535);
        // The checksum covers the pseudo-header, the TCP header and the
        // payload; for a frame cut short the capture lacks part of it, and
        // the sum is then of what is kept (readers mark it unverifiable).
        uint8_t pseudo[12] = {};
        std::memcpy(pseudo, src.data(), 4);
        std::memcpy(pseudo + 4, dst.data(), 4);
        pseudo[9] = 6;
        put16(pseudo + 10, unsigned(20 + payload));
        uint32_t sum = sum16(pseudo, sizeof pseudo);
        sum = sum16(tcp, 20, sum);
        sum = sum16(reinterpret_cast<const uint8_t *>(kept.data()), kept.size(), sum);
        put16(tcp + 16, fold(sum));

        seq += uint32_t(payload);
        return h;
    }

private:
    std::map<Flow, uint32_t> next_;  // next sequence number per direction of a connection
    uint16_t ident_ = 1;
};

// IPv4 and UDP headers (20 and 8 bytes) in front of a datagram carrying
// `original` bytes, of which `kept` are in the capture.
class Udp_datagrams {
public:
    std::array<uint8_t, 28> header(const Traffic_endpoint &from, const Traffic_endpoint &to, const std::string &kept,
                                   size_t original)
    {
        const Ipv4 src = ipv4_of(from), dst = ipv4_of(to);
        std::array<uint8_t, 28> h{};
        uint8_t *ip = h.data();
        uint8_t *udp = h.data() + 20;
        const size_t payload = std::min<size_t>(original, 65535 - 28);
        ip[0] = 0x45;
        put16(ip + 2, unsigned(28 + payload));
        put16(ip + 4, ident_++);
        put16(ip + 6, 0x4000);
        ip[8] = 64;
        ip[9] = 17;  // UDP
        std::memcpy(ip + 12, src.data(), 4);
        std::memcpy(ip + 16, dst.data(), 4);
        put16(ip + 10, fold(sum16(ip, 20)));

        put16(udp, from.port);
        put16(udp + 2, to.port);
        put16(udp + 4, unsigned(8 + payload));
        // The checksum covers the whole datagram; for one cut short it is
        // left out (0: none), which UDP on IPv4 allows.
        if (kept.size() == payload) {
            uint8_t pseudo[12] = {};
            std::memcpy(pseudo, src.data(), 4);
            std::memcpy(pseudo + 4, dst.data(), 4);
            pseudo[9] = 17;
            put16(pseudo + 10, unsigned(8 + payload));
            uint32_t sum = sum16(pseudo, sizeof pseudo);
            sum = sum16(udp, 8, sum);
            sum = sum16(reinterpret_cast<const uint8_t *>(kept.data()), kept.size(), sum);
            const uint16_t c = fold(sum);
            put16(udp + 6, c == 0 ? 0xFFFF : c);
        }
        return h;
    }

private:
    uint16_t ident_ = 1;
};

std::string left_out(size_t ipv6, size_t unaddressed)
{
    std::string out;
    auto frames = [](size_t n) { return std::to_string(n) + (n == 1 ? " frame" : " frames"); };
    if (ipv6 > 0)
        out = frames(ipv6) + " of IPv6 connections";
    if (unaddressed > 0) {
        if (!out.empty())
            out += " and ";
        out += frames(unaddressed) + " without addresses";
    }
    if (out.empty())
        return out;
    return out + (ipv6 + unaddressed == 1 ? " is" : " are") +
           " not in the capture: it holds IPv4 connections only. The CSV file has them all.";
}

}  // namespace

std::string pcap_file_header(uint32_t linktype)
{
    uint8_t h[24] = {};
    put32le(h, 0xA1B2C3D4);
    put16le(h + 4, 2);
    put16le(h + 6, 4);
    // zone and significant figures 0: times are UTC
    put32le(h + 16, kSnapLength);
    put32le(h + 20, linktype);
    return std::string(reinterpret_cast<const char *>(h), sizeof h);
}

std::string pcap_record_header(int64_t time_ms, size_t captured, size_t original)
{
    const int64_t ms = std::max<int64_t>(time_ms, 0);
    uint8_t h[16];
    put32le(h, uint32_t(ms / 1000));
    put32le(h + 4, uint32_t(ms % 1000 * 1000));
    put32le(h + 8, uint32_t(captured));
    put32le(h + 12, uint32_t(std::min<size_t>(original, UINT32_MAX)));
    return std::string(reinterpret_cast<const char *>(h), sizeof h);
}

std::string pcap_refusal(const Traffic_history &history)
{
    if (history.framing() == Traffic_framing::Ascii)
        return "Modbus ASCII traffic cannot be saved as a capture (.pcap): Wireshark has no "
               "dissector for it. Save it as .csv instead.";
    return {};
}

Save_result save_traffic_pcap(const Traffic_history &history, const std::string &path)
{
    if (const std::string why = pcap_refusal(history); !why.empty()) {
        Save_result refused;
        refused.error = why;
        return refused;
    }
    const bool tcp = history.framing() == Traffic_framing::Tcp;
    Traffic_file file(path);
    write_file_header(file, tcp ? kLinktypeIpv4 : kLinktypeUser0);
    Tcp_segments segments;
    Udp_datagrams datagrams;
    size_t written = 0, ipv6 = 0, unaddressed = 0;
    for (size_t i = 0; i < history.size() && file.ok(); ++i) {
        const Traffic_event &e = history.at(i);
        if (e.direction == Traffic_direction::Event)
            continue;
        if (!tcp) {
            write_record(file, e.time_ms, nullptr, 0, e.data, e.length);
            ++written;
            continue;
        }
        using Family = Traffic_endpoint::Family;
        if (e.local.family == Family::Ipv6 || e.peer.family == Family::Ipv6) {
            ++ipv6;
            continue;
        }
        if (e.local.family != Family::Ipv4 || e.peer.family != Family::Ipv4) {
            ++unaddressed;
            continue;
        }
        const bool sent = e.direction == Traffic_direction::Tx;
        const Traffic_endpoint &from = sent ? e.local : e.peer, &to = sent ? e.peer : e.local;
        if (e.carrier == Traffic_carrier::Udp) {
            const auto head = datagrams.header(from, to, e.data, e.length);
            write_record(file, e.time_ms, head.data(), head.size(), e.data, e.length);
        } else {
            const auto head = segments.header(from, to, e.data, e.length);
            write_record(file, e.time_ms, head.data(), head.size(), e.data, e.length);
        }
        ++written;
    }
    return file.finish(written, left_out(ipv6, unaddressed));
}
