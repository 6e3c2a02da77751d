// Operator-typed fields (unit lists, table files) may carry blanks and tabs
// around their values; both readers strip them the same way.
#pragma once

#include <string_view>

inline std::string_view trim_blanks(std::string_view s)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}
