// A server's listening address from the text given for it: numeric IPv4 or
// IPv6 only, since serving never waits on a name lookup.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

// Fills ss and len; false when host is not a numeric address.
inline bool numeric_address(const std::string &host, uint16_t port, sockaddr_storage &ss, socklen_t &len)
{
    ss = sockaddr_storage{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
        return true;
    }
    return false;
}
