// Reads a whole file that must be small, such as a map or a setup someone
// picked in a file dialog or named on the command line.
#pragma once

#include <cstddef>
#include <string>

// Fills text with the file's bytes and returns "", or returns the reason it
// cannot: the system's text, "not a regular file" (a pipe or device could
// block or never end, so it is not even waited for), or "larger than N
// bytes" when it holds more than max_bytes.
std::string read_small_file(const std::string &path, size_t max_bytes, std::string &text);
