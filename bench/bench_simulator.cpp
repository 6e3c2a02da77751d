// The device simulator's parts in the serving engine, without a network:
// - what a code 23 request costs the engine beside a code 3 read of as many
//   registers (and beside a code 3 read plus a code 16 write when it writes as
//   many as it reads), and what a 43/14 request costs, over Modbus/TCP framing;
// - the CPU time of one simulation tick of 1 000 entries, worked out and
//   applied to the tables, and the share of a core that ten ticks a second
//   take.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "Bench_util.h"
#include "Simulation.h"
#include "Slave_engine.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes tcp(const Bytes &pdu)
{
    const size_t len = pdu.size() + 1;
    Bytes out = {0x12, 0x34, 0, 0, uint8_t(len >> 8), uint8_t(len), 1};
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

void word(Bytes &b, unsigned v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}

Bytes read_registers(unsigned start, unsigned count)
{
    Bytes p = {3};
    word(p, start);
    word(p, count);
    return tcp(p);
}

Bytes write_registers(unsigned start, unsigned count)
{
    Bytes p = {16};
    word(p, start);
    word(p, count);
    p.push_back(uint8_t(2 * count));
    for (unsigned i = 0; i < count; ++i)
        word(p, 0x1000 + i);
    return tcp(p);
}

Bytes read_write(unsigned readCount, unsigned writeCount)
{
    Bytes p = {23};
    word(p, 100);
    word(p, readCount);
    word(p, 300);
    word(p, writeCount);
    p.push_back(uint8_t(2 * writeCount));
    for (unsigned i = 0; i < writeCount; ++i)
        word(p, 0x2000 + i);
    return tcp(p);
}

// Requests per second of serving the requests in turn (one "request" is the
// whole list): the median of five rounds of about 0.3 s, each at most two
// million requests.
double rate(const std::vector<Bytes> &requests)
{
    SlaveServeOptions options;
    options.codes = SlaveCodes::All;
    options.identity.product = "bench";
    SlaveServeState state;
    SlaveTables t;
    for (const Bytes &q : requests) {
        const SlaveReply r = serve_slave_request(kSlaveTcpProfile, t, q.data(), q.size(), options, state);
        if (r.response.size() < 9 || (r.response[7] & 0x80)) {
            std::fprintf(stderr, "request of code %u not served\n", unsigned(q[7]));
            return 0;
        }
    }
    std::vector<double> rates;
    for (int round = 0; round < 5; ++round) {
        const double t0 = bench::now_ms();
        double t1 = t0;
        long n = 0;
        while (n < 2000000 && t1 - t0 < 300) {
            for (int i = 0; i < 64; ++i)
                for (const Bytes &q : requests)
                    if (serve_slave_request(kSlaveTcpProfile, t, q.data(), q.size(), options, state)
                            .response.empty())
                        return 0;
            n += 64;
            t1 = bench::now_ms();
        }
        rates.push_back(double(n) / ((t1 - t0) / 1e3));
    }
    return bench::median(rates);
}

// 1 000 entries as a map would give them: floats (two registers) on ramps
// and sines, 16-bit integers on random and step, and coils that toggle.
Simulation thousand_entries()
{
    auto float32 = [](double v, SimRange, uint16_t *words) {
        const float f = float(v);
        uint32_t u;
        std::memcpy(&u, &f, sizeof u);
        words[0] = uint16_t(u >> 16);
        words[1] = uint16_t(u);
    };
    auto integer16 = [](double v, SimRange range, uint16_t *words) {
        v = std::round(v);
        if (range == SimRange::Wrap)
            v = std::fmod(std::fmod(v, 65536.0) + 65536.0, 65536.0);
        words[0] = uint16_t(std::clamp(v, 0.0, 65535.0));
    };
    const char *texts[] = {"ramp(0, 100, 10)", "sine(-50, 50, 7)", "random(0, 1000)", "step(3)", "toggle(1.5)"};
    Simulation sim(7);
    unsigned nextHolding = 0, nextInput = 0, nextCoil = 0;  // 800, 400 and 200 entries
    for (int i = 0; i < 1000; ++i) {
        const int k = i % 5;
        SimEntry e;
        std::string error;
        parse_simulation(texts[k], e.shape, error);
        if (k == 4) {
            e.kind = KindCoil;
            e.index = nextCoil++;
        } else {
            e.kind = k < 2 ? KindHoldingRegister : KindInputRegister;
            e.count = k < 2 ? 2 : 1;
            unsigned &next = k < 2 ? nextHolding : nextInput;
            e.index = next;
            next += e.count;
            e.encode = k < 2 ? SimEncode(float32) : SimEncode(integer16);
        }
        sim.add(std::move(e));
    }
    return sim;
}

}  // namespace

int main()
{
    // ---- codes 23 and 43/14 against code 3 ----
    const double read120 = rate({read_registers(100, 120)});
    const double rw120_1 = rate({read_write(120, 1)});
    const double readWrite120 = rate({read_registers(100, 120), write_registers(300, 120)});
    const double rw120_120 = rate({read_write(120, 120)});
    const double read1 = rate({read_registers(100, 1)});
    const double ident = rate({tcp({43, 14, 1, 0})});
    if (read120 == 0 || rw120_1 == 0 || readWrite120 == 0 || rw120_120 == 0 || read1 == 0 || ident == 0)
        return 1;
    std::printf("%-44s %14s\n", "engine case (TCP framing)", "requests/s");
    std::printf("%-44s %14.0f\n", "code 3, read 120", read120);
    std::printf("%-44s %14.0f  (%.2f x code 3)\n", "code 23, read 120 + write 1", rw120_1, rw120_1 / read120);
    std::printf("%-44s %14.0f\n", "code 3 read 120, then code 16 write 120", readWrite120);
    std::printf("%-44s %14.0f  (%.2f x the pair)\n", "code 23, read 120 + write 120", rw120_120,
                rw120_120 / readWrite120);
    std::printf("%-44s %14.0f\n", "code 3, read 1", read1);
    std::printf("%-44s %14.0f  (%.2f x code 3 read 1)\n", "code 43/14, basic objects", ident, ident / read1);
    bench::row("4 Engine", "code 23 read 120 + write 1, against code 3 read 120",
               bench::fmt("%.0f req/s", rw120_1) + ", " + bench::fmt("%.2f x", rw120_1 / read120), "-", "-");
    bench::row("4 Engine", "code 23 read 120 + write 120, against code 3 + code 16",
               bench::fmt("%.0f req/s", rw120_120) + ", " + bench::fmt("%.2f x", rw120_120 / readWrite120), "-",
               "-");
    bench::row("4 Engine", "code 43/14 basic objects, against code 3 read 1",
               bench::fmt("%.0f req/s", ident) + ", " + bench::fmt("%.2f x", ident / read1), "-", "-");

    // ---- one simulation tick of 1 000 entries ----
    Simulation sim = thousand_entries();
    if (sim.size() != 1000)
        return 1;
    SlaveTables tables;
    std::mutex lock;
    std::vector<double> perTick;
    size_t updates = 0;
    for (int64_t tick = 0; tick < 2000; ++tick) {
        const double c0 = bench::thread_cpu_ms();
        const std::vector<SimUpdate> u = sim.tick({.ms = tick * kSimTickMs, .unixSeconds = 0});
        {
            std::lock_guard<std::mutex> hold(lock);
            apply_simulation(tables, u);
        }
        perTick.push_back(bench::thread_cpu_ms() - c0);
        updates += u.size();
    }
    const double us = bench::median(perTick) * 1e3;
    const double core = us * 10 / 1e6 * 100;  // ten ticks a second, as a share of one core
    std::printf("\nsimulation, 1 000 entries: %.1f us per tick (median of 2 000), %.3f %% of a core at 10 ticks/s; "
                "%.0f updates per tick\n",
                us, core, double(updates) / 2000);
    bench::row("4 Engine", "simulation tick, 1 000 entries",
               bench::fmt("%.1f us", us) + bench::fmt(", %.3f %% of a core", core),
               "< 1 % of a core", core < 1 ? "met" : "not met");
    return 0;
}
