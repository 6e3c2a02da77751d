// A device map on the slave side: what its entries' initial values and
// simulate texts ask of a set of tables, checked whole before anything is
// written, the simulation that keeps the entries moving, and the texts the
// Values page shows.
//
// One set of tables serves the whole map, so the map's device column is not
// used: entries of different devices at the same address are refused as an
// overlap. Values are in engineering units, as the map gives them; an entry
// a master cannot write (an input register) still takes its initial value and
// the operator's edits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Device_map.h"
#include "Simulation.h"
#include "Value_format.h"

// The table kind (SlaveTableKind) of a map table.
int slave_table_kind(Map_table table);

struct SlaveMapEntry {
    Map_entry entry;
    int kind = 0;            // SlaveTableKind
    EncodedValue initial;    // count 0: the map gives none
    int sim = -1;            // its entry in the simulation, -1: not simulated
    std::string simulate;    // the simulate text, blanks around it dropped
};

class SlaveMap {
public:
    // Takes map for tables of tableEntries entries each, or leaves this as
    // it was and returns why not, as "LABEL: line 9: REASON": an initial
    // value that is no number or out of the entry's range, a simulate text
    // that cannot be read or does not fit the entry, an entry beyond the
    // tables (sizeHint, when given, is added to say how to make room), or
    // two entries on one table entry once the device column is ignored.
    // The simulation starts at its first tick.
    std::string take(const Device_map &map, std::string_view label, uint32_t tableEntries,
                     std::string_view sizeHint = {});

    const std::vector<SlaveMapEntry> &entries() const { return entries_; }
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    Simulation &simulation() { return sim_; }
    const Simulation &simulation() const { return sim_; }

    // The initial values, as updates to apply to the tables.
    std::vector<SimUpdate> initialUpdates() const;

    // Entry i's value from its words as the tables hold them (entry().count()
    // words, first register first), scaled and in its format.
    std::string valueText(size_t i, std::span<const uint16_t> words) const;
    // Entry i's simulate text, "written" once a write stopped it, or "".
    std::string simulationText(size_t i) const;
    // The words for an operator's value of entry i in engineering units;
    // error set when it is no number or out of range.
    EncodedValue encodeText(size_t i, std::string_view text) const;
    // Entry i was written (by a master or by the operator): its simulation
    // stops, as every entry that covers that table entry.
    void written(size_t i);

    // The entries that cover table entry (kind, index), in map order.
    std::vector<size_t> covering(int kind, uint32_t index) const;

private:
    std::vector<SlaveMapEntry> entries_;
    // (kind, index, entry) sorted by kind and index.
    struct Place {
        int kind;
        uint32_t index;
        size_t entry;
    };
    std::vector<Place> places_;
    Simulation sim_;
};

// Reads the map file at path (named label in messages) and takes it as
// SlaveMap::take does; "" or "LABEL: REASON".
std::string load_slave_map(const std::string &path, std::string_view label, SlaveMap &out, uint32_t tableEntries,
                           std::string_view sizeHint = {});

// The conversion of an engineering value to entry's words for the simulation:
// through scale and offset into the format, whole numbers rounded, clamped to
// the format's range or, for SimRange::Wrap, wrapped around it.
SimEncode slave_map_encoder(const Map_entry &entry);
