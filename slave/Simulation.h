// Values that change by themselves: the simulate functions of a device map
// (ramp, sine, random, step, toggle, time), read from their text and worked
// out on the caller's clock every 100 ms, in engineering units.
//
// The unit knows nothing of maps or formats. An entry names the table
// entries it fills and brings its own conversion from an engineering value
// to their words (scale, offset, format, range). A tick hands back whole
// values, every register of one value in one update: a caller that applies a
// tick's updates under the lock it serves requests under never lets a
// request read half an old value and half a new one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "Slave_memory.h"
#include "Slave_tables.h"

enum class SimFunction : uint8_t { None, Ramp, Sine, Random, Step, Toggle, Time };

struct SimSpec {
    SimFunction function = SimFunction::None;
    double min = 0, max = 0;  // ramp, sine, random
    double period = 0;        // seconds: ramp, sine, toggle
    double step = 0;          // step: added every second
};

// Longest simulate text read; a longer one is refused unread.
constexpr size_t kSimTextMax = 200;
// Shortest period: one tick.
constexpr double kSimPeriodMin = 0.1;
constexpr int64_t kSimTickMs = 100;

// The function a text names (empty or blank: SimFunction::None), or false
// with error set to the text and the reason, as in
// "sine(0, 100): sine needs MIN, MAX and PERIOD" (out is then unchanged).
// Names are read without regard to case; blanks around every part are
// allowed.
bool parse_simulation(std::string_view text, SimSpec &out, std::string &error);

// Why shape cannot fill a bit entry (bit) or a register entry (!bit), or ""
// when it can: toggle is for bits, time for registers.
std::string simulation_misfit(const SimSpec &shape, bool bit);

// The value of shape after elapsedMs of running, in engineering units, from
// an entry that started at initial; unixSeconds is the wall clock's time and
// uniform a draw from [0, 1) (random). Always finite. For toggle: 1 or 0.
double simulation_value(const SimSpec &shape, double initial, int64_t elapsedMs, int64_t unixSeconds,
                        double uniform);

// How a value outside the format's range is brought into it: step wraps,
// every other function is clamped.
enum class SimRange : uint8_t { Clamp, Wrap };
// An engineering value (always finite) to the entry's words, in the order
// they lie in the table.
using SimEncode = std::function<void(double value, SimRange range, uint16_t *words)>;

constexpr unsigned kSimWordsMax = 4;

struct SimEntry {
    int kind = KindHoldingRegister;  // SlaveTableKind
    uint32_t index = 0;              // first table entry
    unsigned count = 1;              // registers of the value, 1 to kSimWordsMax; 1 for a bit
    SimSpec shape;
    double initial = 0;  // engineering units: where step starts; toggle's first state (nonzero: on)
    SimEncode encode;    // register entries only; a bit is on when its value is nonzero
};

struct SimTime {
    int64_t ms = 0;           // a monotonic clock
    int64_t unixSeconds = 0;  // the wall clock (time)
};
SimTime sim_time_now();

struct SimUpdate {
    size_t entry = 0;  // as numbered by Simulation::add
    int kind = 0;
    uint32_t index = 0;
    unsigned count = 0;
    std::array<uint16_t, kSimWordsMax> words{};
};

class Simulation {
public:
    explicit Simulation(uint64_t seed = std::random_device{}());

    // Adds an entry, numbered from 0 in the order added; false (nothing
    // added) for no function, a count out of 1..kSimWordsMax (1 for bits), a
    // register entry without encode, or a function that does not fit.
    bool add(SimEntry entry);
    size_t size() const { return entries_.size(); }
    const SimEntry &entry(size_t i) const { return entries_[i].e; }
    // False once a master wrote to the entry: it keeps the written value.
    bool running(size_t i) const { return entries_[i].running; }

    // The values of the tick that now falls in, for every running entry whose
    // words changed since it last had an update (every running entry on the
    // first tick after a start). The first call starts the clock; a second
    // call in the same tick returns nothing.
    std::vector<SimUpdate> tick(const SimTime &now);
    // A master wrote table entry (kind, index): every entry that covers it
    // stops.
    void written(int kind, uint32_t index);
    // Every entry runs again from its start at the next tick.
    void restart();

private:
    struct Slot {
        SimEntry e;
        bool running = true;
        bool sent = false;  // words holds what the last update carried
        std::array<uint16_t, kSimWordsMax> words{};
    };
    std::vector<Slot> entries_;
    // (kind, index, entry) sorted, for written().
    struct Place {
        int kind;
        uint32_t index;
        size_t entry;
    };
    std::vector<Place> places_;
    std::mt19937_64 rng_;
    bool started_ = false;
    int64_t startMs_ = 0;
    int64_t lastTick_ = -1;
};

// Writes a tick's updates into the tables; entries beyond them are skipped.
// Call it under the lock that requests are served under.
void apply_simulation(SlaveTables &tables, const std::vector<SimUpdate> &updates);
void apply_simulation(SlaveMemory &tables, const std::vector<SimUpdate> &updates);
