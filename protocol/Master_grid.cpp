#include "Master_grid.h"

void layout_master_grid(TextGrid &, uint16_t, uint16_t, uint16_t) {}
void show_rtu_response(TextGrid &, const uint8_t *, int32_t, uint16_t, int32_t, int32_t, uint16_t) {}
void show_ascii_response(TextGrid &, const char *, int32_t, uint16_t, int32_t, int32_t, uint16_t) {}
void show_tcp_response(TextGrid &, const uint8_t *, int32_t, uint16_t, int32_t, int32_t, uint16_t) {}
void fill_master_grid(TextGrid &, const uint8_t *, uint16_t, int32_t, int32_t, uint16_t) {}
