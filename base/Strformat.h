// printf-style formatting into a std::string, for the texts the stations log.
#pragma once

#include <string>

std::string strformat(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
