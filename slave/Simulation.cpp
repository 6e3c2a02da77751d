#include "Simulation.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <chrono>
#include <cmath>
#include <numbers>

#include "Trim_blanks.h"

namespace {

struct FunctionInfo {
    const char *name;
    SimFunction function;
    size_t values;      // how many values it takes
    const char *needs;  // the reason given when it gets another number
};

constexpr FunctionInfo kFunctions[] = {
    {.name = "ramp", .function = SimFunction::Ramp, .values = 3, .needs = "ramp needs MIN, MAX and PERIOD"},
    {.name = "sine", .function = SimFunction::Sine, .values = 3, .needs = "sine needs MIN, MAX and PERIOD"},
    {.name = "random", .function = SimFunction::Random, .values = 2, .needs = "random needs MIN and MAX"},
    {.name = "step", .function = SimFunction::Step, .values = 1, .needs = "step needs STEP"},
    {.name = "toggle", .function = SimFunction::Toggle, .values = 1, .needs = "toggle needs PERIOD"},
    {.name = "time", .function = SimFunction::Time, .values = 0, .needs = "time takes no values"},
};

bool same_name(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? char(x - 'A' + 'a') : x) == y;
           });
}

// A finite number, as written in a CSV file by hand: an optional sign,
// digits, a point, an exponent.
bool read_number(std::string_view s, double &out)
{
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    if (s.empty() || s.front() == '+')
        return false;
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

double bounded(double v)
{
    if (std::isnan(v))
        return 0;
    return std::clamp(v, -DBL_MAX, DBL_MAX);
}

// Where in its period a running function stands, from 0 up to 1.
double phase(int64_t elapsedMs, double periodSeconds)
{
    const double p = periodSeconds * 1000.0;
    return std::fmod(double(elapsedMs), p) / p;
}

// Between a and b at f (0: a, 1: b), without the overflow of a + (b - a) * f.
double between(double a, double b, double f) { return a * (1.0 - f) + b * f; }

}  // namespace

bool parse_simulation(std::string_view text, SimSpec &out, std::string &error)
{
    if (text.size() > kSimTextMax) {
        error = "simulate text longer than " + std::to_string(kSimTextMax) + " characters";
        return false;
    }
    const std::string_view whole = trim_blanks(text);
    auto fail = [&](const std::string &reason) {
        error = std::string(whole) + ": " + reason;
        return false;
    };
    if (whole.empty()) {
        out = SimSpec{};
        return true;
    }
    const size_t open = whole.find('(');
    const std::string_view name = trim_blanks(whole.substr(0, open));
    const FunctionInfo *f = nullptr;
    for (const FunctionInfo &i : kFunctions)
        if (same_name(name, i.name))
            f = &i;
    if (!f)
        return fail("unknown function \"" + std::string(name) + "\" (ramp, sine, random, step, toggle or time)");

    std::vector<double> values;
    if (open != std::string_view::npos) {
        if (whole.back() != ')')
            return fail(whole.find(')') == std::string_view::npos ? "no closing parenthesis"
                                                                   : "text after the closing parenthesis");
        std::string_view inside = whole.substr(open + 1, whole.size() - open - 2);
        if (!trim_blanks(inside).empty()) {
            // Never more pieces than the text has commas, itself bounded.
            while (true) {
                const size_t comma = inside.find(',');
                const std::string_view piece = trim_blanks(inside.substr(0, comma));
                double v = 0;
                if (!read_number(piece, v))
                    return fail("\"" + std::string(piece) + "\" is not a number");
                values.push_back(v);
                if (comma == std::string_view::npos)
                    break;
                inside.remove_prefix(comma + 1);
            }
        }
    }
    if (values.size() != f->values)
        return fail(f->needs);

    SimSpec shape;
    shape.function = f->function;
    switch (f->function) {
    case SimFunction::Ramp:
    case SimFunction::Sine:
        shape.min = values[0];
        shape.max = values[1];
        shape.period = values[2];
        break;
    case SimFunction::Random:
        shape.min = values[0];
        shape.max = values[1];
        break;
    case SimFunction::Step: shape.step = values[0]; break;
    case SimFunction::Toggle: shape.period = values[0]; break;
    case SimFunction::Time:
    case SimFunction::None: break;
    }
    const bool periodic = f->function == SimFunction::Ramp || f->function == SimFunction::Sine ||
                          f->function == SimFunction::Toggle;
    if (periodic && shape.period < kSimPeriodMin)
        return fail("PERIOD must be at least 0.1 s");
    out = shape;
    return true;
}

std::string simulation_misfit(const SimSpec &shape, bool bit)
{
    if (bit && shape.function == SimFunction::Time)
        return "time is for registers";
    if (!bit && shape.function == SimFunction::Toggle)
        return "toggle is for bits";
    return {};
}

double simulation_value(const SimSpec &shape, double initial, int64_t elapsedMs, int64_t unixSeconds,
                        double uniform)
{
    elapsedMs = std::max<int64_t>(elapsedMs, 0);
    switch (shape.function) {
    case SimFunction::Ramp: return bounded(between(shape.min, shape.max, phase(elapsedMs, shape.period)));
    case SimFunction::Sine: {
        const double mid = shape.min / 2 + shape.max / 2, half = shape.max / 2 - shape.min / 2;
        return bounded(mid + half * std::sin(2 * std::numbers::pi * phase(elapsedMs, shape.period)));
    }
    case SimFunction::Random: return bounded(between(shape.min, shape.max, uniform));
    case SimFunction::Step: return bounded(initial + shape.step * double(elapsedMs / 1000));
    case SimFunction::Toggle: {
        const bool flipped = int64_t(double(elapsedMs) / (shape.period * 1000.0)) % 2 != 0;
        return (initial != 0) != flipped ? 1 : 0;
    }
    case SimFunction::Time: return double(unixSeconds);
    case SimFunction::None: break;
    }
    return bounded(initial);
}

SimTime sim_time_now()
{
    using namespace std::chrono;
    return {.ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count(),
            .unixSeconds = duration_cast<seconds>(system_clock::now().time_since_epoch()).count()};
}

Simulation::Simulation(uint64_t seed) : rng_(seed) {}

bool Simulation::add(SimEntry entry)
{
    const bool bit = entry.kind == KindCoil || entry.kind == KindInputRelay;
    if (entry.shape.function == SimFunction::None || entry.count < 1 || entry.count > kSimWordsMax ||
        (bit && entry.count != 1) || (!bit && !entry.encode) || !simulation_misfit(entry.shape, bit).empty())
        return false;
    const Place place{.kind = entry.kind, .index = entry.index, .entry = entries_.size()};
    entries_.push_back({.e = std::move(entry)});
    const auto at = std::upper_bound(places_.begin(), places_.end(), place, [](const Place &a, const Place &b) {
        return a.kind != b.kind ? a.kind < b.kind : a.index < b.index;
    });
    places_.insert(at, place);
    return true;
}

std::vector<SimUpdate> Simulation::tick(const SimTime &now)
{
    if (!started_) {
        started_ = true;
        startMs_ = now.ms;
        lastTick_ = -1;
    }
    // A clock that stepped back holds the values where they are.
    const int64_t tick = std::max<int64_t>(now.ms - startMs_, 0) / kSimTickMs;
    std::vector<SimUpdate> out;
    if (tick <= lastTick_)
        return out;
    lastTick_ = tick;
    const int64_t elapsed = tick * kSimTickMs;
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (size_t i = 0; i < entries_.size(); ++i) {
        Slot &s = entries_[i];
        if (!s.running)
            continue;
        const SimSpec &shape = s.e.shape;
        const double u = shape.function == SimFunction::Random ? uniform(rng_) : 0.0;
        const double v = simulation_value(shape, s.e.initial, elapsed, now.unixSeconds, u);
        std::array<uint16_t, kSimWordsMax> words{};
        if (s.e.kind == KindCoil || s.e.kind == KindInputRelay)
            words[0] = v != 0 ? 1 : 0;
        else
            s.e.encode(v, shape.function == SimFunction::Step ? SimRange::Wrap : SimRange::Clamp, words.data());
        if (s.sent && words == s.words)
            continue;
        s.sent = true;
        s.words = words;
        out.push_back({.entry = i, .kind = s.e.kind, .index = s.e.index, .count = s.e.count, .words = words});
    }
    return out;
}

void Simulation::written(int kind, uint32_t index)
{
    // An entry that covers index starts at most kSimWordsMax - 1 before it.
    const uint32_t from = index >= kSimWordsMax - 1 ? index - (kSimWordsMax - 1) : 0;
    auto it = std::lower_bound(places_.begin(), places_.end(), Place{.kind = kind, .index = from, .entry = 0},
                               [](const Place &a, const Place &b) {
                                   return a.kind != b.kind ? a.kind < b.kind : a.index < b.index;
                               });
    for (; it != places_.end() && it->kind == kind && it->index <= index; ++it) {
        Slot &s = entries_[it->entry];
        if (index < it->index + s.e.count)
            s.running = false;
    }
}

void Simulation::restart()
{
    for (Slot &s : entries_) {
        s.running = true;
        s.sent = false;
    }
    started_ = false;
}

void apply_simulation(SlaveTables &tables, const std::vector<SimUpdate> &updates)
{
    for (const SimUpdate &u : updates) {
        if (u.index + u.count > uint32_t(kSlaveEntries))
            continue;
        const uint16_t n = uint16_t(u.index);
        switch (u.kind) {
        case KindCoil: tables.WriteCoil(n, u.words[0]); break;
        case KindInputRelay: tables.WriteInputRelay(n, u.words[0]); break;
        case KindHoldingRegister: std::copy_n(u.words.begin(), u.count, tables.holdingRegisters + n); break;
        case KindInputRegister: std::copy_n(u.words.begin(), u.count, tables.inputRegisters + n); break;
        default: break;
        }
    }
}

void apply_simulation(SlaveMemory &tables, const std::vector<SimUpdate> &updates)
{
    for (const SimUpdate &u : updates) {
        if (u.index + u.count > tables.entries())
            continue;
        for (unsigned k = 0; k < u.count; ++k) {
            if (u.kind == KindCoil || u.kind == KindInputRelay)
                tables.setBit(u.kind, u.index + k, u.words[k]);
            else
                tables.setReg(u.kind, u.index + k, u.words[k]);
        }
    }
}
