#include "Slave_map.h"

#include <algorithm>
#include <cmath>

#include "Engineering_value.h"
#include "Slave_tables.h"
#include "Small_file.h"
#include "Trim_blanks.h"

namespace {

bool place_before(int kindA, uint32_t indexA, int kindB, uint32_t indexB)
{
    return kindA != kindB ? kindA < kindB : indexA < indexB;
}

std::string range_text(const Map_entry &e)
{
    if (e.count() == 1)
        return e.address();
    return e.address() + "-" + map_address_text(e.table, uint32_t(e.index) + uint32_t(e.count()) - 1, e.six_digits);
}

// The simulate function of e, or why it cannot be e's.
std::string read_simulate(const Map_entry &e, std::string_view text, SimSpec &shape)
{
    std::string error;
    if (!parse_simulation(text, shape, error))
        return error;
    const std::string whole(trim_blanks(text));
    if (const std::string misfit = simulation_misfit(shape, e.is_bit()); !misfit.empty())
        return whole + ": " + misfit;
    if (shape.function == SimFunction::Time) {
        // The seconds since 1970 need 31 bits; a float keeps them to 128 s.
        const ValueFormat f = e.format;
        const bool wide = value_format_width(f) >= 2 && !value_format_range(f).single;
        if (!wide)
            return whole + ": time needs a Long, Unsigned long or Double format";
    }
    return {};
}

// The map's initial text of e as words, or why not. Read-only entries take
// it too: on the slave side the map sets what a master reads.
std::string read_initial(const Map_entry &e, EncodedValue &out)
{
    const std::string_view text = trim_blanks(e.initial);
    out = EncodedValue{};
    if (text.empty())
        return {};
    Map_entry w = e;
    w.writable = true;
    EncodedValue v = encode_engineering_text(w, text);
    if (!v.ok())
        return "initial " + std::string(text) + ": " + v.error;
    out = v;
    return {};
}

}  // namespace

int slave_table_kind(Map_table table)
{
    switch (table) {
    case Map_table::Coils: return KindCoil;
    case Map_table::InputRelays: return KindInputRelay;
    case Map_table::HoldingRegisters: return KindHoldingRegister;
    case Map_table::InputRegisters: return KindInputRegister;
    }
    return KindHoldingRegister;
}

SimEncode slave_map_encoder(const Map_entry &entry)
{
    return [format = entry.format, scale = entry.scale, offset = entry.offset](double v, SimRange range,
                                                                                uint16_t *words) {
        const NumberRange r = value_format_range(format);
        double raw = (v - offset) / scale;
        if (std::isnan(raw))
            raw = 0;
        if (r.integer && std::isfinite(raw)) {
            raw = std::round(raw);
            if (range == SimRange::Wrap) {
                const double span = r.high - r.low + 1;
                raw = r.low + std::fmod(std::fmod(raw - r.low, span) + span, span);
            }
        }
        raw = std::clamp(raw, r.low, r.high);
        const EncodedValue e = encode_number(format, raw);
        std::copy_n(e.words.begin(), e.count, words);
    };
}

std::string SlaveMap::take(const Device_map &map, std::string_view label, uint32_t tableEntries,
                           std::string_view sizeHint)
{
    auto at = [&](size_t line, const std::string &why) {
        return std::string(label) + ": line " + std::to_string(line) + ": " + why;
    };
    std::vector<SlaveMapEntry> entries;
    entries.reserve(map.size());
    std::vector<Place> places;
    places.reserve(map.size());
    Simulation sim;
    for (const Map_entry &e : map.entries()) {
        const uint32_t end = uint32_t(e.index) + uint32_t(e.count());
        if (end > tableEntries) {
            std::string why = range_text(e) + ": beyond the tables' " + std::to_string(tableEntries) + " entries";
            if (!sizeHint.empty())
                why += "; " + std::string(sizeHint) + " " + std::to_string(end) + " or more makes room for it";
            return at(e.line, why);
        }
        SlaveMapEntry s;
        s.entry = e;
        s.kind = slave_table_kind(e.table);
        if (std::string why = read_initial(e, s.initial); !why.empty())
            return at(e.line, why);
        SimSpec shape;
        if (std::string why = read_simulate(e, e.simulate, shape); !why.empty())
            return at(e.line, why);
        if (shape.function != SimFunction::None) {
            s.simulate = std::string(trim_blanks(e.simulate));
            double initial = 0;
            if (s.initial.count > 0)
                initial = engineering_value(e, std::span<const uint16_t>(s.initial.words.data(), size_t(e.count())));
            if (sim.add({.kind = s.kind, .index = e.index, .count = unsigned(e.count()), .shape = shape,
                         .initial = initial, .encode = e.is_bit() ? SimEncode{} : slave_map_encoder(e)}))
                s.sim = int(sim.size() - 1);
        }
        places.push_back({.kind = s.kind, .index = e.index, .entry = entries.size()});
        entries.push_back(std::move(s));
    }
    std::stable_sort(places.begin(), places.end(),
                     [](const Place &a, const Place &b) { return place_before(a.kind, a.index, b.kind, b.index); });
    // The map reader refused overlaps within one device; with the device
    // column ignored, entries of two devices may still share a table entry.
    for (size_t k = 1; k < places.size(); ++k) {
        const Place &a = places[k - 1], &b = places[k];
        const SlaveMapEntry &first = entries[a.entry];
        if (a.kind == b.kind && b.index < a.index + uint32_t(first.entry.count())) {
            const SlaveMapEntry &later = entries[std::max(a.entry, b.entry)];
            const SlaveMapEntry &other = entries[std::min(a.entry, b.entry)];
            return at(later.entry.line, later.entry.address() + ": overlaps " + other.entry.name + " (" +
                                            range_text(other.entry) + ") once the device column is ignored");
        }
    }
    entries_ = std::move(entries);
    places_ = std::move(places);
    sim_ = std::move(sim);
    return {};
}

std::vector<SimUpdate> SlaveMap::initialUpdates() const
{
    std::vector<SimUpdate> out;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const SlaveMapEntry &s = entries_[i];
        if (s.initial.count == 0)
            continue;
        SimUpdate u{.entry = i, .kind = s.kind, .index = s.entry.index, .count = unsigned(s.initial.count)};
        std::copy_n(s.initial.words.begin(), s.initial.count, u.words.begin());
        out.push_back(u);
    }
    return out;
}

std::string SlaveMap::valueText(size_t i, std::span<const uint16_t> words) const
{
    const Map_entry &e = entries_[i].entry;
    return engineering_text(e, engineering_value(e, words));
}

std::string SlaveMap::simulationText(size_t i) const
{
    const SlaveMapEntry &s = entries_[i];
    if (s.sim < 0)
        return {};
    return sim_.running(size_t(s.sim)) ? s.simulate : "written";
}

EncodedValue SlaveMap::encodeText(size_t i, std::string_view text) const
{
    Map_entry e = entries_[i].entry;
    e.writable = true;
    return encode_engineering_text(e, text);
}

void SlaveMap::written(size_t i)
{
    const SlaveMapEntry &s = entries_[i];
    for (int k = 0; k < s.entry.count(); ++k)
        sim_.written(s.kind, uint32_t(s.entry.index) + uint32_t(k));
}

std::vector<size_t> SlaveMap::covering(int kind, uint32_t index) const
{
    // An entry that covers index starts at most kSimWordsMax - 1 before it.
    const uint32_t from = index >= kSimWordsMax - 1 ? index - (kSimWordsMax - 1) : 0;
    auto it = std::lower_bound(places_.begin(), places_.end(), from, [kind](const Place &p, uint32_t i) {
        return place_before(p.kind, p.index, kind, i);
    });
    std::vector<size_t> out;
    for (; it != places_.end() && it->kind == kind && it->index <= index; ++it)
        if (index < it->index + uint32_t(entries_[it->entry].entry.count()))
            out.push_back(it->entry);
    return out;
}

std::string load_slave_map(const std::string &path, std::string_view label, SlaveMap &out, uint32_t tableEntries,
                           std::string_view sizeHint)
{
    std::string text;
    if (std::string problem = read_small_file(path, kMapMaxBytes, text); !problem.empty())
        return std::string(label) + ": " + problem;
    Device_map map;
    if (std::string problem = map.read(text, label); !problem.empty())
        return problem;
    return out.take(map, label, tableEntries, sizeHint);
}
