#include "Traffic_endpoint.h"

#include <arpa/inet.h>

#include <cstring>

Traffic_endpoint Traffic_endpoint::ipv4(uint32_t host_order_address, uint16_t port)
{
    Traffic_endpoint e;
    e.family = Family::Ipv4;
    e.port = port;
    e.address[0] = uint8_t(host_order_address >> 24);
    e.address[1] = uint8_t(host_order_address >> 16);
    e.address[2] = uint8_t(host_order_address >> 8);
    e.address[3] = uint8_t(host_order_address);
    return e;
}

std::optional<Traffic_endpoint> Traffic_endpoint::parse(std::string_view host, uint16_t port)
{
    // A scope ("%eth0") names the interface, not the address.
    if (const size_t pct = host.find('%'); pct != std::string_view::npos)
        host = host.substr(0, pct);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    char text[64];
    if (host.empty() || host.size() >= sizeof text)
        return std::nullopt;
    std::memcpy(text, host.data(), host.size());
    text[host.size()] = '\0';

    Traffic_endpoint e;
    e.port = port;
    if (inet_pton(AF_INET, text, e.address.data()) == 1) {
        e.family = Family::Ipv4;
        return e;
    }
    if (inet_pton(AF_INET6, text, e.address.data()) != 1)
        return std::nullopt;
    static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(e.address.data(), kMapped, sizeof kMapped) == 0) {
        std::memmove(e.address.data(), e.address.data() + 12, 4);
        std::memset(e.address.data() + 4, 0, 12);
        e.family = Family::Ipv4;
    } else {
        e.family = Family::Ipv6;
    }
    return e;
}

std::string Traffic_endpoint::text() const
{
    char addr[INET6_ADDRSTRLEN] = "";
    switch (family) {
    case Family::None:
        return {};
    case Family::Ipv4:
        inet_ntop(AF_INET, address.data(), addr, sizeof addr);
        return std::string(addr) + ':' + std::to_string(port);
    case Family::Ipv6:
        inet_ntop(AF_INET6, address.data(), addr, sizeof addr);
        return '[' + std::string(addr) + "]:" + std::to_string(port);
    }
    return {};
}
