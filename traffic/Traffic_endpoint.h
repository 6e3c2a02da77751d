// One end of a TCP connection as the traffic history keeps it: the address
// as data (not text), so that a capture file can be written from it, and the
// port. An empty endpoint stands for "no network end" (serial lines).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How a TCP station's frames travel when not as its framing says: RTU frames
// (CRC, no header) on a TCP connection, or Modbus/TCP messages in UDP
// datagrams. A capture writes them as such, and a frame is decoded by the
// layout it travelled in.
enum class Traffic_carrier : uint8_t { Native, Rtu_over_tcp, Udp };

struct Traffic_endpoint {
    enum class Family : uint8_t { None, Ipv4, Ipv6 };

    std::array<uint8_t, 16> address{};  // IPv4: the first 4 bytes, network order
    uint16_t port = 0;
    Family family = Family::None;

    bool empty() const { return family == Family::None; }

    static Traffic_endpoint ipv4(uint32_t host_order_address, uint16_t port);
    // Numeric host text as sockets report it ("127.0.0.1", "::1",
    // "::ffff:127.0.0.1", "fe80::1%eth0"). An IPv4 address in IPv6 form
    // (::ffff:a.b.c.d, as a dual-stack server reports IPv4 clients) is kept
    // as IPv4, so the same client reads the same either way. Nothing for
    // text that is no numeric address.
    static std::optional<Traffic_endpoint> parse(std::string_view host, uint16_t port);

    // "127.0.0.1:40512", "[::1]:502"; empty for an empty endpoint.
    std::string text() const;

    bool operator==(const Traffic_endpoint &) const = default;
};
