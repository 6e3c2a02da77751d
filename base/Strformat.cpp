#include "Strformat.h"

#include <cstdarg>
#include <cstdio>

std::string strformat(const char *fmt, ...)
{
    char small[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, n);
    std::string out(n, '\0');
    va_start(ap, fmt);
    std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
    va_end(ap);
    return out;
}
