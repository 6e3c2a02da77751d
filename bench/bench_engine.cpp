// The slave serving engine alone: requests per second that serve_slave_request
// handles for each transport's framing, a read and a write of a full block of
// holding registers (120 registers; ASCII reads stop at 60).
//
//   bench_engine                 timed rounds, medians printed
//   bench_engine --profile N     N requests of every case, nothing timed
//                                (for callgrind or perf)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Bench_util.h"
#include "Slave_engine.h"
#include "corvane.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The protocol data unit of a read (code 3) or write (code 16) of count
// holding registers from start; written values are start + i.
Bytes pdu(uint8_t function, uint16_t start, uint16_t count)
{
    Bytes p = {function, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8), uint8_t(count)};
    if (function == 16) {
        p.push_back(uint8_t(2 * count));
        for (unsigned i = 0; i < count; ++i) {
            const unsigned v = 0x1000 + start + i;
            p.push_back(uint8_t(v >> 8));
            p.push_back(uint8_t(v));
        }
    }
    return p;
}

Bytes frame(SlaveFraming framing, const Bytes &p)
{
    const uint8_t unit = 1;
    Bytes out;
    switch (framing) {
    case SlaveFraming::Rtu: {
        out.push_back(unit);
        out.insert(out.end(), p.begin(), p.end());
        uint8_t crc[2];
        CRC_check(out.data(), int32_t(out.size()), crc);
        out.push_back(crc[0]);
        out.push_back(crc[1]);
        break;
    }
    case SlaveFraming::Tcp: {
        const size_t len = p.size() + 1;
        out = {0x12, 0x34, 0, 0, uint8_t(len >> 8), uint8_t(len), unit};
        out.insert(out.end(), p.begin(), p.end());
        break;
    }
    case SlaveFraming::Ascii: {
        std::string text = ":";
        char h[3];
        std::snprintf(h, sizeof h, "%02X", unit);
        text += h;
        for (uint8_t b : p) {
            std::snprintf(h, sizeof h, "%02X", b);
            text += h;
        }
        char lrc[2];
        LRC_check(text.data() + 1, int32_t(text.size() - 1), lrc);
        text.append(lrc, 2);
        text += "\r\n";
        out.assign(text.begin(), text.end());
        break;
    }
    }
    return out;
}

struct Case {
    const char *name;
    const SlaveProfile *profile;
    Bytes request;
    size_t responseSize;  // what a served request answers with
};

std::vector<Case> cases()
{
    std::vector<Case> c;
    c.push_back({"RTU read 120 registers", &kSlaveRtuProfile, frame(SlaveFraming::Rtu, pdu(3, 100, 120)), 5 + 240});
    c.push_back({"RTU write 120 registers", &kSlaveRtuProfile, frame(SlaveFraming::Rtu, pdu(16, 100, 120)), 8});
    c.push_back({"ASCII read 60 registers", &kSlaveAsciiProfile, frame(SlaveFraming::Ascii, pdu(3, 100, 60)),
                 1 + 2 * (3 + 120) + 2 + 2});
    c.push_back({"ASCII write 120 registers", &kSlaveAsciiProfile, frame(SlaveFraming::Ascii, pdu(16, 100, 120)),
                 17});
    c.push_back({"TCP read 120 registers", &kSlaveTcpProfile, frame(SlaveFraming::Tcp, pdu(3, 100, 120)), 9 + 240});
    c.push_back({"TCP write 120 registers", &kSlaveTcpProfile, frame(SlaveFraming::Tcp, pdu(16, 100, 120)), 12});
    return c;
}

// One request served as it should be: a response of the expected size, no
// exception, and for a write the table holding the values.
bool check(const Case &k)
{
    SlaveTables t;
    const SlaveReply r = serve_slave_request(*k.profile, t, k.request.data(), k.request.size());
    if (!r.sent() || r.response.size() != k.responseSize) {
        std::fprintf(stderr, "%s: response of %zu bytes, expected %zu\n", k.name, r.response.size(), k.responseSize);
        return false;
    }
    if (std::strstr(k.name, "write"))
        for (unsigned i = 0; i < 120; ++i)
            if (t.holdingRegisters[100 + i] != 0x1000 + 100 + i) {
                std::fprintf(stderr, "%s: register %u not written\n", k.name, 100 + i);
                return false;
            }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::vector<Case> all = cases();
    for (const Case &k : all)
        if (!check(k))
            return 1;

    if (argc == 3 && std::strcmp(argv[1], "--profile") == 0) {
        const long n = std::min(std::atol(argv[2]), 1000000L);
        SlaveTables t;
        size_t bytes = 0;
        for (const Case &k : all)
            for (long i = 0; i < n; ++i)
                bytes += serve_slave_request(*k.profile, t, k.request.data(), k.request.size()).response.size();
        std::printf("served %ld requests of each case, %zu response bytes\n", n, bytes);
        return 0;
    }

    // Five rounds of about 0.3 s per case (at most 2 million requests a round).
    const int rounds = 5;
    const double roundMs = 300;
    std::printf("%-28s %14s %14s\n", "engine case", "requests/s", "us/request");
    for (const Case &k : all) {
        std::vector<double> rates;
        SlaveTables t;
        for (int r = 0; r < rounds; ++r) {
            const double t0 = bench::now_ms();
            long n = 0;
            double t1 = t0;
            while (n < 2000000) {
                for (int i = 0; i < 64; ++i) {
                    const SlaveReply reply = serve_slave_request(*k.profile, t, k.request.data(), k.request.size());
                    if (reply.response.empty())
                        return 1;
                }
                n += 64;
                t1 = bench::now_ms();
                if (t1 - t0 >= roundMs)
                    break;
            }
            rates.push_back(double(n) / ((t1 - t0) / 1e3));
        }
        const double rps = bench::median(rates);
        std::printf("%-28s %14.0f %14.2f\n", k.name, rps, 1e6 / rps);
        bench::row("4 Engine", k.name, bench::fmt("%.0f req/s", rps), "-", "-");
    }
    return 0;
}
