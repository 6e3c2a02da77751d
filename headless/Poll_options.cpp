#include "Poll_options.h"

#include <cctype>
#include <functional>

#include "Block_values.h"
#include "Command_line.h"
#include "Device_map.h"
#include "Master_station.h"
#include "Option_values.h"
#include "Query.h"

#ifndef QUILLAN_VERSION
#define QUILLAN_VERSION "0"
#endif

namespace {

constexpr uint32_t kTableSize = 65536;
constexpr size_t kTextMax = 4096;
constexpr long kIntervalMaxMs = 86400000;  // a day
constexpr long kPollsMax = 1000000000;

std::string lower(std::string_view s)
{
    std::string t(s);
    for (char &c : t)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return t;
}

// HOST[:PORT], an IPv6 host in brackets when a port follows: "plc.local",
// "127.0.0.1:1502", "[::1]:1502", "::1".
std::string read_tcp_target(const std::string &v, Poll_options &o)
{
    if (v.empty() || v.size() > kTextMax)
        return "give HOST or HOST:PORT";
    std::string host = v, port;
    if (v[0] == '[') {
        const size_t close = v.find(']');
        if (close == std::string::npos || (close + 1 < v.size() && v[close + 1] != ':'))
            return "write an IPv6 address as [ADDRESS]:PORT";
        host = v.substr(1, close - 1);
        if (close + 1 < v.size())
            port = v.substr(close + 2);
        if (close + 1 < v.size() && port.empty())
            return "the port must be a whole number from 1 to 65535";
    } else if (const size_t colon = v.find(':'); colon != std::string::npos && v.find(':', colon + 1) == std::string::npos) {
        host = v.substr(0, colon);
        port = v.substr(colon + 1);
        if (port.empty())
            return "the port must be a whole number from 1 to 65535";
    }
    if (host.empty())
        return "the host must not be empty";
    long p = 502;
    if (!port.empty() && !whole_number(port, 1, 65535, p))
        return "the port must be a whole number from 1 to 65535";
    o.host = host;
    o.port = uint16_t(p);
    return {};
}

// A number of 16 bits: decimal, 0x and hexadecimal digits, or 0b and binary digits.
bool read_mask(std::string_view text, uint16_t &out)
{
    const std::string t = lower(text);
    ValueFormat f = ValueFormat::Unsigned;
    if (t.rfind("0x", 0) == 0)
        f = ValueFormat::Hex;
    else if (t.rfind("0b", 0) == 0)
        f = ValueFormat::Binary;
    const EncodedValue v = encode_value(f, t);
    if (!v.ok() || t.find_first_of(" \t") != std::string::npos)
        return false;
    out = v.words[0];
    return true;
}

// ADDRESS[:COUNT]; COUNT 1 when not given (the registers of one value).
std::string read_block(const std::string &v, Grid_address &at, uint16_t &count, bool &countGiven)
{
    const size_t colon = v.find(':');
    if (!parse_grid_address(v.substr(0, colon), at))
        return "not an address as the grids show it (such as 40001, 00017, 300001)";
    countGiven = colon != std::string::npos;
    long n = 1;
    if (countGiven && !whole_number(v.substr(colon + 1), 1, 65536, n))
        return "the count must be a whole number from 1";
    count = uint16_t(n == 65536 ? 0 : n);
    if (n > 65535 || uint32_t(at.index) + uint32_t(n) > kTableSize)
        return "the block runs past the end of the table";
    return {};
}

// ADDRESS=VALUES or NAME=VALUES.
std::string read_assignment(const std::string &v, std::string &left, std::string &values)
{
    const size_t eq = v.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 >= v.size())
        return "write ADDRESS=VALUE[,VALUE...]";
    left = v.substr(0, eq);
    values = v.substr(eq + 1);
    return {};
}

bool all_digits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

using Reader = std::function<std::string(const Command_arg &, Poll_options &)>;

struct Option_rule {
    const char *name;
    int values;  // 0: a flag
    bool repeatable;
    Reader read;
};

std::string one(const Command_arg &a) { return a.values.empty() ? std::string() : a.values[0]; }

std::string set_serial(const Command_arg &a, Poll_options &o, Poll_transport t)
{
    if (const std::string err = read_serial_device(one(a), o.comPort); !err.empty())
        return err;
    o.transport = t;
    o.target = one(a);
    if (t == Poll_transport::Ascii) {  // quillan-slave's defaults: RTU 9600 N 8 1, ASCII 9600 O 7 1
        o.parity = 'O';
        o.dataBits = 7;
    }
    return {};
}

const Option_rule kRules[] = {
    {.name = "--tcp", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         o.transport = Poll_transport::Tcp;
         o.target = one(a);
         return read_tcp_target(one(a), o);
     }},
    {.name = "--udp", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         o.transport = Poll_transport::Udp;
         o.target = one(a);
         return read_tcp_target(one(a), o);
     }},
    {.name = "--rtu-over-tcp", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         o.transport = Poll_transport::RtuOverTcp;
         o.target = one(a);
         return read_tcp_target(one(a), o);
     }},
    {.name = "--rtu", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) { return set_serial(a, o, Poll_transport::Rtu); }},
    {.name = "--ascii", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) { return set_serial(a, o, Poll_transport::Ascii); }},
    // Line settings are applied after the transport, whatever their order.
    {.name = "--baud", .values = 1, .repeatable = false, .read = nullptr},
    {.name = "--parity", .values = 1, .repeatable = false, .read = nullptr},
    {.name = "--data-bits", .values = 1, .repeatable = false, .read = nullptr},
    {.name = "--stop-bits", .values = 1, .repeatable = false, .read = nullptr},
    {.name = "--timeout", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         long ms = 0;
         if (!whole_number(one(a), 10, 60000, ms))
             return "milliseconds from 10 to 60000";
         o.timeoutMs = int(ms);
         return {};
     }},
    {.name = "--unit", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         long n = 0;
         if (!whole_number(one(a), 0, 247, n))
             return "a device address from 0 to 247";
         o.unit = int(n);
         return {};
     }},
    {.name = "--read", .values = 1, .repeatable = true,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         Poll_step s;
         s.kind = Poll_step::Read;
         s.given = a.text();
         bool countGiven = false;
         if (const std::string err = read_block(one(a), s.at, s.count, countGiven); !err.empty())
             return err;
         if (!countGiven)
             s.count = 0;  // one value of the format, known once all options are read
         o.steps.push_back(s);
         return {};
     }},
    {.name = "--format", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         if (!parse_format_name(one(a), o.format))
             return "not a value format (such as signed, unsigned, hex, float-abcd, long-cdab, double-abcdefgh)";
         return {};
     }},
    {.name = "--map", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         if (one(a).empty() || one(a).size() > kTextMax)
             return "give the map's file name";
         o.mapFile = one(a);
         Poll_step s;
         s.kind = Poll_step::Map;
         s.given = a.text();
         o.steps.push_back(s);
         return {};
     }},
    {.name = "--only", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         const std::string v = one(a);
         size_t from = 0;
         while (from <= v.size()) {
             const size_t comma = std::min(v.find(',', from), v.size());
             if (comma == from)
                 return "give NAME[,NAME...] without empty names";
             o.only.push_back(v.substr(from, comma - from));
             from = comma + 1;
         }
         return {};
     }},
    {.name = "--write", .values = 1, .repeatable = true,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         Poll_step s;
         s.kind = Poll_step::Write;
         s.given = a.text();
         std::string left;
         if (const std::string err = read_assignment(one(a), left, s.values); !err.empty())
             return err;
         if (all_digits(left)) {
             if (!parse_grid_address(left, s.at))
                 return "not an address as the grids show it (such as 40001, 00017, 400001)";
             if (s.at.kind != 0 && s.at.kind != 2)
                 return std::string(s.at.kind == 1 ? "input relays" : "input registers") + " cannot be written";
         } else {
             s.name = left;  // a map entry, looked up once the map is read
         }
         o.steps.push_back(s);
         return {};
     }},
    {.name = "--mask-write", .values = 1, .repeatable = true,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         Poll_step s;
         s.kind = Poll_step::MaskWrite;
         s.given = a.text();
         std::string left, masks;
         if (const std::string err = read_assignment(one(a), left, masks); !err.empty())
             return "write ADDRESS=AND,OR";
         if (!parse_grid_address(left, s.at) || s.at.kind != 2)
             return "the address must be a holding register (such as 40001)";
         const size_t comma = masks.find(',');
         if (comma == std::string::npos || !read_mask(masks.substr(0, comma), s.andMask) ||
             !read_mask(masks.substr(comma + 1), s.orMask))
             return "AND and OR are 16-bit numbers: 65280, 0xFF00 or 0b1111111100000000";
         o.steps.push_back(s);
         return {};
     }},
    {.name = "--read-write", .values = 2, .repeatable = true,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         Poll_step s;
         s.kind = Poll_step::ReadWrite;
         s.given = a.text();
         bool countGiven = false;
         if (const std::string err = read_block(a.values[0], s.at, s.count, countGiven); !err.empty())
             return a.values[0] + ": " + err;
         if (s.at.kind != 2)
             return a.values[0] + ": reads holding registers only (such as 40001:10)";
         if (s.count > kMaxReadWriteRead)
             return a.values[0] + ": at most " + std::to_string(kMaxReadWriteRead) + " registers";
         std::string left;
         if (const std::string err = read_assignment(a.values[1], left, s.values); !err.empty())
             return a.values[1] + ": write ADDRESS=VALUE[,VALUE...]";
         if (!parse_grid_address(left, s.writeAt) || s.writeAt.kind != 2)
             return a.values[1] + ": writes holding registers only (such as 40010=1,2)";
         o.steps.push_back(s);
         return {};
     }},
    {.name = "--identify", .values = 0, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         Poll_step s;
         s.kind = Poll_step::Identify;
         s.given = a.text();
         o.steps.push_back(s);
         return {};
     }},
    {.name = "--report-id", .values = 0, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         Poll_step s;
         s.kind = Poll_step::ReportId;
         s.given = a.text();
         o.steps.push_back(s);
         return {};
     }},
    {.name = "--scan", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         const std::string v = one(a);
         const size_t dash = v.find('-');
         long first = 0, last = 0;
         if (dash == std::string::npos || !whole_number(v.substr(0, dash), 1, 247, first) ||
             !whole_number(v.substr(dash + 1), 1, 247, last) || first > last)
             return "give FIRST-LAST, device addresses from 1 to 247 (such as 1-247)";
         o.scan = true;
         o.scanFirst = int(first);
         o.scanLast = int(last);
         return {};
     }},
    {.name = "--interval", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         long ms = 0;
         if (!whole_number(one(a), 0, kIntervalMaxMs, ms))
             return "milliseconds from 0 to " + std::to_string(kIntervalMaxMs);
         o.intervalMs = int(ms);
         o.repeat = true;
         return {};
     }},
    {.name = "--polls", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         if (!whole_number(one(a), 1, kPollsMax, o.polls))
             return "a whole number from 1 to " + std::to_string(kPollsMax);
         o.repeat = true;
         return {};
     }},
    {.name = "--duration", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         o.repeat = true;
         return read_seconds(one(a), o.durationS);
     }},
    {.name = "--output", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         const std::string v = lower(one(a));
         if (v == "text")
             o.output = Poll_output::Text;
         else if (v == "csv")
             o.output = Poll_output::Csv;
         else if (v == "json")
             o.output = Poll_output::Json;
         else
             return "use text, csv or json";
         return {};
     }},
    {.name = "--pcap", .values = 1, .repeatable = false,
     .read = [](const Command_arg &a, Poll_options &o) -> std::string {
         if (one(a).empty() || one(a).size() > kTextMax)
             return "give the capture's file name";
         o.pcapFile = one(a);
         return {};
     }},
    {.name = "--log", .values = 0, .repeatable = false,
     .read = [](const Command_arg &, Poll_options &o) -> std::string {
         o.log = true;
         return {};
     }},
};

// The values of a write, in the format (registers) or as 0 and 1 (coils);
// codes 5 and 6 take one value of one register, 15 and 16 the rest.
std::string encode_write(Poll_step &s, ValueFormat format, uint16_t wordLimit)
{
    BlockValues values;
    const bool coils = s.kind == Poll_step::Write && s.at.kind == 0;
    if (std::string err = parse_block_values(s.values, coils, format, values); !err.empty()) {
        // One line: "line 1: " says nothing on a command line.
        if (err.rfind("line 1: ", 0) == 0)
            err.erase(0, 8);
        return err;
    }
    const Grid_address &to = s.kind == Poll_step::ReadWrite ? s.writeAt : s.at;
    const size_t n = coils ? values.bits.size() : values.words.size();
    if (!coils && n > wordLimit)
        return "at most " + std::to_string(wordLimit) + " registers in one request";
    if (uint32_t(to.index) + n > kTableSize)
        return "the values run past the end of the table";
    s.bits = std::move(values.bits);
    s.words = std::move(values.words);
    return {};
}

}  // namespace

std::string Grid_address::text(uint32_t offset) const
{
    return map_address_text(Map_table(kind), uint32_t(index) + offset, sixDigits);
}

long Grid_address::number(uint32_t offset) const { return std::strtol(text(offset).c_str(), nullptr, 10); }

bool parse_grid_address(std::string_view text, Grid_address &out)
{
    Map_table table{};
    Grid_address a;
    if (!parse_map_address(text, table, a.index, a.sixDigits))
        return false;
    a.kind = uint8_t(table);
    out = a;
    return true;
}

bool parse_format_name(std::string_view text, ValueFormat &format)
{
    std::string wanted = lower(text);
    for (char &c : wanted)
        if (c == '-' || c == '_')
            c = ' ';
    const std::vector<std::string> texts = value_format_texts();
    for (size_t i = 0; i < texts.size(); ++i)
        if (lower(texts[i]) == wanted)
            return value_format_from_index(int(i), format);
    return false;
}

Poll_command parse_poll_command(const std::vector<std::string> &args)
{
    Poll_command cmd;
    auto refuse = [&](const std::string &text) {
        cmd.action = Poll_command::Refused;
        cmd.error = text;
        return cmd;
    };
    Command_line line;
    for (const Option_rule &r : kRules) {
        if (r.values == 0)
            line.flag(r.name);
        else
            line.option(r.name, r.values, r.repeatable);
    }
    const Command_parse parsed = line.parse(args);
    switch (parsed.action) {
    case Command_parse::ShowHelp: cmd.action = Poll_command::ShowHelp; return cmd;
    case Command_parse::ShowVersion: cmd.action = Poll_command::ShowVersion; return cmd;
    case Command_parse::Refused: return refuse(parsed.error);
    case Command_parse::Run: break;
    }

    Poll_options &o = cmd.options;
    const char *transport = nullptr;
    for (const Command_arg &a : parsed.args) {
        const Option_rule *rule = nullptr;
        for (const Option_rule &r : kRules)
            if (a.option == r.name)
                rule = &r;
        const bool isTransport = a.option == "--tcp" || a.option == "--rtu" || a.option == "--ascii" ||
                                 a.option == "--udp" || a.option == "--rtu-over-tcp";
        if (isTransport && transport)
            return refuse(a.option + ": only one transport at a time (" + transport + " is given)");
        if (isTransport)
            transport = rule->name;
        if (!rule->read)
            continue;
        if (const std::string err = rule->read(a, o); !err.empty())
            return refuse(a.text() + ": " + err);
    }

    // The line settings, over the transport's defaults.
    const bool serial = transport && (o.transport == Poll_transport::Rtu || o.transport == Poll_transport::Ascii);
    for (const char *name : {"--baud", "--parity", "--data-bits", "--stop-bits"}) {
        const Command_arg *a = parsed.find(name);
        if (!a)
            continue;
        if (!serial)
            return refuse(std::string(name) + ": applies only to --rtu or --ascii");
        const std::string &v = a->values[0];
        std::string err;
        if (a->option == "--baud")
            err = read_baud(v, o.baud);
        else if (a->option == "--parity")
            err = read_parity(v, o.parity);
        else if (a->option == "--data-bits")
            err = read_data_bits(v, o.dataBits);
        else
            err = read_stop_bits(v, o.stopBits);
        if (!err.empty())
            return refuse(a->text() + ": " + err);
    }
    if (!transport)
        return refuse("no transport: give --tcp HOST[:PORT], --rtu-over-tcp HOST[:PORT], --udp HOST[:PORT], "
                      "--rtu DEVICE or --ascii DEVICE (see --help)");

    // Sizes the transport takes in one request, as the stations take them.
    const CountLimits limits = o.transport == Poll_transport::Ascii ? kAsciiLimits
                               : o.transport == Poll_transport::Rtu || o.transport == Poll_transport::RtuOverTcp
                                   ? kRtuLimits
                                                                    : kTcpLimits;
    const uint16_t wordLimit = o.transport == Poll_transport::Ascii ? limits.words : kMaxWriteRegisters;
    const int width = value_format_width(o.format);
    for (Poll_step &s : o.steps) {
        if (s.kind == Poll_step::Read || s.kind == Poll_step::ReadWrite) {
            const bool bits = s.at.bits();
            if (s.count == 0)
                s.count = uint16_t(bits ? 1 : width);
            const uint16_t limit = bits ? limits.bits : limits.words;
            if (s.count > limit)
                return refuse(s.given + ": at most " + std::to_string(limit) + (bits ? " bits" : " registers") +
                              " in one request");
            if (uint32_t(s.at.index) + s.count > kTableSize)
                return refuse(s.given + ": the block runs past the end of the table");
            if (!bits && s.count % width != 0)
                return refuse(s.given + ": " + value_format_text(o.format) + " takes " + std::to_string(width) +
                              " registers a value; " + std::to_string(s.count) + " is not a multiple");
        }
        if (s.kind == Poll_step::ReadWrite || (s.kind == Poll_step::Write && s.name.empty())) {
            const uint16_t limit = s.kind == Poll_step::ReadWrite ? std::min(wordLimit, kMaxReadWriteWrite) : wordLimit;
            if (const std::string err = encode_write(s, o.format, limit); !err.empty())
                return refuse(s.given + ": " + err);
        }
        if (s.kind == Poll_step::Write && !s.name.empty() && o.mapFile.empty())
            return refuse(s.given + ": " + s.name + " is no address; writing by name needs --map");
    }

    const bool hasRequest = !o.steps.empty() || !o.mapFile.empty();
    if (!o.only.empty() && o.mapFile.empty())
        return refuse("--only: picks entries of a map; give --map FILE.csv");
    if (o.pcapFile.size() && o.transport == Poll_transport::Ascii)
        return refuse("--pcap: Modbus ASCII traffic cannot be saved as a capture (no dissector reads it); "
                      "use --log");
    if (o.scan) {
        if (parsed.has("--unit"))
            return refuse("--scan: probes device addresses itself; leave out --unit");
        for (const Poll_step &s : o.steps)
            if (s.kind != Poll_step::Read && s.kind != Poll_step::Identify && s.kind != Poll_step::Map)
                return refuse("--scan: probes with a read only (and --identify); leave out " +
                              s.given.substr(0, s.given.find(' ')));
        if (!o.mapFile.empty())
            return refuse("--scan: probes with a read only; leave out --map");
        if (o.repeat)
            return refuse("--scan: runs once; leave out --interval, --polls and --duration");
        if (o.output == Poll_output::Csv)
            return refuse("--output csv: logs values read; a scan prints text or json");
    } else if (!hasRequest) {
        return refuse("nothing to do: give --read, --map, --write, --mask-write, --read-write, --identify, "
                      "--report-id or --scan (see --help)");
    }
    if (o.output == Poll_output::Csv)
        for (const Poll_step &s : o.steps)
            if (s.kind == Poll_step::Identify || s.kind == Poll_step::ReportId)
                return refuse("--output csv: logs values read; " + s.given + " prints text or json");
    // RTU frames carry a broadcast whatever carries them: a gateway passes
    // it on to its line, and no device answers it.
    const bool broadcasts = o.transport == Poll_transport::Rtu || o.transport == Poll_transport::Ascii ||
                            o.transport == Poll_transport::RtuOverTcp;
    if (o.unit == 0 && broadcasts) {
        const std::string why = o.transport == Poll_transport::RtuOverTcp
                                    ? "--unit 0: a broadcast in RTU frames gets no answer; it takes writes only"
                                    : "--unit 0: a broadcast on a serial line gets no answer; it takes writes only";
        for (const Poll_step &s : o.steps)
            if (s.kind != Poll_step::Write && s.kind != Poll_step::MaskWrite)
                return refuse(why);
        if (!o.mapFile.empty())
            return refuse(why);
    }
    return cmd;
}

std::string poll_version_text() { return "quillan-poll " QUILLAN_VERSION "\n"; }

std::string poll_help_text()
{
    return "Usage: quillan-poll TRANSPORT [options] REQUEST...\n"
           "Reads and writes a Modbus device from the command line, as the master stations\n"
           "do but with no window: for scripts, CI jobs and the shell. Prints what it reads\n"
           "as text, CSV or JSON Lines.\n"
           "\n"
           "Transport (exactly one):\n"
           "  --tcp HOST[:PORT]     Modbus/TCP (port 502 by default; an IPv6 address with a\n"
           "                        port in brackets: [::1]:1502)\n"
           "  --rtu DEVICE          RTU on a serial device (a path, or COMn as the stations\n"
           "                        use it: $CORVANE_COMn or /dev/ttyS<n-1>)\n"
           "  --ascii DEVICE        ASCII on a serial device\n"
           "  --baud N --parity N|E|O --data-bits 7|8 --stop-bits 1|2\n"
           "                        line settings (defaults as quillan-slave's: 9600 N 8 1\n"
           "                        for RTU, 9600 O 7 1 for ASCII)\n"
           "  --rtu-over-tcp HOST[:PORT]\n"
           "                        RTU frames (with their CRC) on a TCP connection, as\n"
           "                        serial-to-Ethernet converters carry them (port 502 by\n"
           "                        default); an answer ends at its length with a right CRC\n"
           "  --udp HOST[:PORT]     Modbus/UDP: one Modbus/TCP message per datagram (port\n"
           "                        502 by default); answers are matched by transaction id\n"
           "\n"
           "Requests (each is one request; they go out in the order given):\n"
           "  --read ADDRESS[:COUNT]\n"
           "                        read COUNT registers or bits from ADDRESS, as the grids\n"
           "                        show addresses: 40001 holding registers, 30001 input\n"
           "                        registers, 00001 coils, 10001 input relays; six digits\n"
           "                        (400001) reach 65536; repeatable\n"
           "  --format NAME         the registers' value format: signed (default),\n"
           "                        unsigned, hex, binary, long-abcd, long-cdab, long-badc,\n"
           "                        long-dcba, unsigned-long-abcd ... -dcba, float-abcd,\n"
           "                        float-cdab, float-badc, float-dcba, double-abcdefgh,\n"
           "                        double-hgfedcba (any case, - or _ for blanks)\n"
           "  --map FILE.csv        read every entry of a device map, grouped into as few\n"
           "                        requests as the stations' Watch page makes\n"
           "  --only NAME[,NAME...] only these entries of the map\n"
           "  --write ADDRESS=VALUE[,VALUE...]\n"
           "                        write coils (0 or 1) or holding registers in --format;\n"
           "                        one value of one register or coil goes as code 5 or 6,\n"
           "                        more (or a 32/64-bit value) as 15 or 16; with --map\n"
           "                        also NAME=VALUE in the entry's engineering units\n"
           "  --mask-write ADDRESS=AND,OR\n"
           "                        code 22 on a holding register (masks in decimal, 0x..\n"
           "                        or 0b..)\n"
           "  --read-write READ:COUNT WRITE=VALUE[,VALUE...]\n"
           "                        code 23: writes the values, then reads the block\n"
           "  --identify            code 43/14: the basic identification objects\n"
           "  --report-id           code 17: the server id\n"
           "  --scan FIRST-LAST     probe each device address with a read of one holding\n"
           "                        register (or the first --read block) and print those\n"
           "                        that answer, with their answer and time (and, with\n"
           "                        --identify, their identity); an exception answer counts\n"
           "                        as found, except 0A and 0B (a gateway's no device)\n"
           "\n"
           "Device and timing:\n"
           "  --unit N              device address, 0 to 247 (default 1; 0 is a broadcast,\n"
           "                        writes only on a serial line and in RTU over TCP)\n"
           "  --timeout MS          wait for an answer (and for a TCP connection), 10 to\n"
           "                        60000 (default 1000); a serial answer ends at its\n"
           "                        length with a right CRC, at an ASCII line's LF, or\n"
           "                        after 3.5 character times of silence\n"
           "\n"
           "Repetition (one poll by default):\n"
           "  --interval MS         poll again, starts at least MS apart\n"
           "  --polls N             stop after N polls\n"
           "  --duration S          stop after S seconds\n"
           "                        without --polls or --duration it polls until SIGINT or\n"
           "                        SIGTERM; --polls or --duration alone polls back to back\n"
           "\n"
           "Output:\n"
           "  --output text|csv|json\n"
           "                        text (default): one line per value, ADDRESS [NAME] VALUE\n"
           "                        [UNIT]; csv: a header, then one line per poll (time, a\n"
           "                        column per value, errors); json: JSON Lines, one object\n"
           "                        per value with time, unit, address, name, raw, value\n"
           "                        and status (ok, time-out, exception 02, CRC error ...)\n"
           "                        Output is flushed after every poll.\n"
           "  --pcap FILE           save the traffic as a capture (all but ASCII; the last\n"
           "                        100000 frames), written on exit\n"
           "  --log                 the traffic history's lines on stderr as they happen\n"
           "  --help                print this text and exit\n"
           "  --version             print the version and exit\n"
           "\n"
           "On exit a line of counters goes to stderr, as the stations show them:\n"
           "Tx N  Rx N  Exc N  Err N  T/O N  last L ms  min A ms  avg B ms  max C ms\n"
           "Exit status: 0 when every request was answered without an exception (a scan:\n"
           "when a device was found); 1 when the port or connection could not be opened or\n"
           "an exchange failed (time-out, checksum error, exception, an answer that does\n"
           "not fit the request); 2 for a bad option or value, with one line naming it.\n";
}
