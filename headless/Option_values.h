// The values the command lines of the programs without a window take alike:
// whole numbers, seconds, serial line settings and serial devices. Each
// reader returns "" and stores the value, or returns the problem (without
// the option's name, which the caller puts in front) and stores nothing.
#pragma once

#include <string>

// A whole decimal number from lo to hi, nothing else around it.
bool whole_number(const std::string &text, long lo, long hi, long &out);

// Seconds, fractions allowed ("0.5", "30"): more than 0, at most 1000000.
std::string read_seconds(const std::string &text, double &out);

// A baud rate the serial line can take (9600, 19200, 115200 ...).
std::string read_baud(const std::string &text, int &out);
// N, E or O, either case.
std::string read_parity(const std::string &text, char &out);
std::string read_data_bits(const std::string &text, int &out);
std::string read_stop_bits(const std::string &text, int &out);

// The ports the link library numbers: COM1 to COM13.
constexpr int kComPortMax = 13;
// A serial device: a path, or COMn as the stations name their ports (port
// gets n, or 0 for a path).
std::string read_serial_device(const std::string &text, int &port);
