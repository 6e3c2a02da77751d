// What a request and its answer, heard on a line, reveal of the device's
// tables: the values a read answer carries, at the addresses its request
// asked for; the values an acknowledged write (codes 5, 6, 15, 16, and the
// write half of 23) put there. A station or a program that listens applies
// them to tables of its own, which then mirror the device as far as the line
// has shown it.
#pragma once

#include <cstdint>
#include <vector>

#include "Pdu_fields.h"

enum class Mirror_table : uint8_t { Coils, Discrete_inputs, Input_registers, Holding_registers };

struct Mirror_write {
    uint8_t unit = 0;
    Mirror_table table = Mirror_table::Holding_registers;
    uint16_t address = 0;          // the first entry, as on the wire (from 0)
    std::vector<uint16_t> values;  // registers, or bits 0/1, in address order
};

// The writes in the order the device made them (code 23 writes before it
// reads). None when the answer is an exception, belongs to another unit or
// function, or does not agree with its request (a byte count or an echo
// that differs): a mirror takes only what the line showed for certain.
std::vector<Mirror_write> mirror_writes(const Pdu_fields &request, const Pdu_fields &answer);
