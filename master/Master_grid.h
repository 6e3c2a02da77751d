// The master stations' data grid: layout for a request and decoding of an
// answer into it. Kinds: 0 output coil, 1 input relay, 2 holding register,
// 3 input register.
#pragma once

#include <cstdint>

#include "Text_grid.h"

void layout_master_grid(TextGrid &grid, uint16_t kind, uint16_t start, uint16_t count);
void show_rtu_response(TextGrid &grid, const uint8_t *frame, int32_t length, uint16_t count,
                       int32_t row, int32_t col, uint16_t value);
void show_ascii_response(TextGrid &grid, const char *frame, int32_t length, uint16_t count,
                         int32_t row, int32_t col, uint16_t value);
void show_tcp_response(TextGrid &grid, const uint8_t *frame, int32_t length, uint16_t count,
                       int32_t row, int32_t col, uint16_t value);
