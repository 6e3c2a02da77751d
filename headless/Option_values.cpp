#include "Option_values.h"

#include <cerrno>
#include <cstdlib>
#include <initializer_list>

namespace {

constexpr size_t kTextMax = 4096;

bool one_of(long v, std::initializer_list<long> allowed)
{
    for (long a : allowed)
        if (v == a)
            return true;
    return false;
}

}  // namespace

bool whole_number(const std::string &s, long lo, long hi, long &out)
{
    if (s.empty() || s.size() > 12)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    const long v = std::strtol(s.c_str(), nullptr, 10);
    if (v < lo || v > hi)
        return false;
    out = v;
    return true;
}

std::string read_seconds(const std::string &v, double &out)
{
    if (v.empty() || v.size() > 16 || v.find_first_not_of("0123456789.") != std::string::npos)
        return "a number of seconds greater than 0, at most 1000000";
    errno = 0;
    char *end = nullptr;
    const double s = std::strtod(v.c_str(), &end);
    if (errno != 0 || end != v.c_str() + v.size() || !(s > 0) || s > 1e6)
        return "a number of seconds greater than 0, at most 1000000";
    out = s;
    return {};
}

std::string read_baud(const std::string &v, int &out)
{
    long b = 0;
    if (!whole_number(v, 50, 4000000, b) ||
        !one_of(b, {50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600,
                    115200, 230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000,
                    3000000, 3500000, 4000000}))
        return "not a baud rate the serial line can take (such as 9600, 19200, 115200)";
    out = int(b);
    return {};
}

std::string read_parity(const std::string &v, char &out)
{
    if (v.size() == 1 && (v[0] == 'N' || v[0] == 'E' || v[0] == 'O' || v[0] == 'n' || v[0] == 'e' || v[0] == 'o')) {
        out = char(v[0] & ~0x20);
        return {};
    }
    return "use N, E or O";
}

std::string read_data_bits(const std::string &v, int &out)
{
    long n = 0;
    if (!whole_number(v, 7, 8, n))
        return "use 7 or 8";
    out = int(n);
    return {};
}

std::string read_stop_bits(const std::string &v, int &out)
{
    long n = 0;
    if (!whole_number(v, 1, 2, n))
        return "use 1 or 2";
    out = int(n);
    return {};
}

std::string read_serial_device(const std::string &v, int &port)
{
    if (v.empty())
        return "the device must not be empty";
    if (v.size() > kTextMax)
        return "the device name is too long";
    port = 0;
    if (v.size() >= 4 && v.size() <= 8 && v.compare(0, 3, "COM") == 0) {
        long n = 0;
        if (whole_number(v.substr(3), 0, 99999, n)) {
            if (n == 0 || n > kComPortMax)
                return "serial ports are COM1 to COM" + std::to_string(kComPortMax);
            port = int(n);
        }
    }
    return {};
}
