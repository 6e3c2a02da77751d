// The simulate texts of a device map: any text is refused with a message
// that names it, or read; what is read works out to finite values in its
// range at any time, and runs through the ticks of a Simulation.
//
// Input: the text; its first bytes also give the times tried.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "Simulation.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    SimSpec shape;
    shape.step = 42;
    std::string error;
    if (!parse_simulation(text, shape, error)) {
        check(!error.empty() && shape.function == SimFunction::None && shape.step == 42);
        return 0;
    }
    if (shape.function == SimFunction::None)
        return 0;
    uint64_t seed = 0;
    for (size_t i = 0; i < std::min<size_t>(size, 8); ++i)
        seed = seed << 8 | data[i];
    const int64_t times[] = {0, 99, 100, int64_t(seed % 100000000), int64_t(seed >> 8), INT64_MAX / 2};
    const double lo = std::min(shape.min, shape.max), hi = std::max(shape.min, shape.max);
    for (int64_t t : times)
        for (double u : {0.0, 0.5, 0.999999}) {
            const double v = simulation_value(shape, 3.0, t, int64_t(seed), u);
            check(std::isfinite(v));
            switch (shape.function) {
            case SimFunction::Ramp:
            case SimFunction::Random:
            case SimFunction::Sine:
                // Rounding may take a value a hair beyond its bounds.
                check(v >= lo - std::abs(lo) * 1e-12 - 1e-9 && v <= hi + std::abs(hi) * 1e-12 + 1e-9);
                break;
            case SimFunction::Toggle: check(v == 0 || v == 1); break;
            default: break;
            }
        }

    const bool bit = shape.function == SimFunction::Toggle;
    Simulation sim(seed);
    unsigned calls = 0;
    const bool added = sim.add({.kind = bit ? KindCoil : KindHoldingRegister,
                                .index = 1020,
                                .count = bit ? 1u : 4u,
                                .shape = shape,
                                .initial = 3.0,
                                .encode = [&calls](double v, SimRange, uint16_t *words) {
                                    check(std::isfinite(v));
                                    ++calls;
                                    for (unsigned k = 0; k < kSimWordsMax; ++k)
                                        words[k] = uint16_t(int64_t(std::fmod(v, 65536.0)) + k);
                                }});
    check(added);
    SlaveTables tables;
    for (int64_t ms : {int64_t(0), int64_t(100), int64_t(seed % 1000000)})
        apply_simulation(tables, sim.tick({.ms = ms, .unixSeconds = int64_t(seed >> 1)}));
    check(bit || calls >= 1);
    return 0;
}
