#include "Slave_options.h"

#include <arpa/inet.h>

#include "Command_line.h"
#include "Fault_injection.h"
#include "Option_values.h"

#ifndef QUILLAN_VERSION
#define QUILLAN_VERSION "0"
#endif

namespace
{

bool numeric_address(const std::string &host)
{
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// [HOST:]PORT, with an IPv6 host in brackets: "1502", "0.0.0.0:502", "[::1]:1502".
std::string parse_endpoint(const std::string &v, TcpEndpoint &e)
{
    e.given = v;
    e.host = "127.0.0.1";
    std::string port = v;
    if (!v.empty() && v[0] == '[') {
        const size_t close = v.find(']');
        if (close == std::string::npos || close + 1 >= v.size() || v[close + 1] != ':')
            return "write an IPv6 address as [ADDRESS]:PORT";
        e.host = v.substr(1, close - 1);
        port = v.substr(close + 2);
    } else if (const size_t colon = v.rfind(':'); colon != std::string::npos) {
        if (v.find(':') != colon)
            return "write an IPv6 address as [ADDRESS]:PORT";
        e.host = v.substr(0, colon);
        port = v.substr(colon + 1);
    }
    if (e.host == "localhost")
        e.host = "127.0.0.1";
    if (e.host.empty() || !numeric_address(e.host))
        return "'" + e.host + "' is not a numeric IPv4 or IPv6 address";
    long p = 0;
    if (!whole_number(port, 0, 65535, p))
        return "the port must be a whole number from 0 to 65535";
    e.port = uint16_t(p);
    return {};
}

std::string add_endpoint(const std::string &v, std::vector<TcpEndpoint> &to)
{
    TcpEndpoint e;
    std::string err = parse_endpoint(v, e);
    if (err.empty())
        to.push_back(e);
    return err;
}

std::string parse_serial(const std::string &v, SerialMode mode, SlaveOptions &o)
{
    SerialEndpoint s;
    if (std::string err = read_serial_device(v, s.comPort); !err.empty())
        return err;
    s.mode = mode;
    s.device = v;
    for (const SerialEndpoint &other : o.serial)
        if (other.device == v)
            return "the device is already served";
    o.serial.push_back(s);
    return {};
}

std::string parse_units(const std::string &v, SlaveOptions &o)
{
    // Read as the stations read their UnitIds field, with the same messages.
    if (v.size() > kSlaveOptionTextMax)
        return "the list is too long";
    std::string error;
    if (!UnitFilter::parse(v, o.unitFilter, error))
        return error;
    return {};
}

std::string parse_file(const std::string &v, std::string &into)
{
    if (v.empty())
        return "the file name must not be empty";
    if (v.size() > kSlaveOptionTextMax)
        return "the file name is too long";
    into = v;
    return {};
}

std::string parse_exception(const std::string &v, SlaveOptions &o)
{
    // Written as the stations list them: 01, 02, 03, 04, 06, 0B.
    static const struct {
        const char *text;
        int code;
    } codes[] = {
        {.text = "01", .code = 1}, {.text = "02", .code = 2}, {.text = "03", .code = 3},
        {.text = "04", .code = 4}, {.text = "06", .code = 6}, {.text = "0B", .code = 11},
    };
    std::string t = v;
    for (char &c : t)
        if (c >= 'a' && c <= 'f')
            c = char(c - 'a' + 'A');
    if (t.size() == 1)
        t = "0" + t;
    for (const auto &c : codes)
        if (t == c.text) {
            o.forcedException = c.code;
            return {};
        }
    return "use 01, 02, 03, 04, 06 or 0B";
}

std::string parse_device(const std::string &v, SlaveOptions &o)
{
    const size_t eq = v.find('=');
    long unit = 0;
    if (eq == std::string::npos || !whole_number(v.substr(0, eq), 1, 247, unit))
        return "write UNIT=FILE.csv, UNIT from 1 to 247";
    DeviceMapOption d;
    d.unit = uint8_t(unit);
    d.given = v;
    if (std::string err = parse_file(v.substr(eq + 1), d.file); !err.empty())
        return err;
    for (const DeviceMapOption &other : o.devices)
        if (other.unit == d.unit)
            return "unit " + std::to_string(unit) + " is already given (" + other.given + ")";
    o.devices.push_back(d);
    return {};
}

std::string parse_identity(const std::string &v, SlaveOptions &o)
{
    // Three texts of printable ASCII, none empty, each at most as long as
    // an answer carries.
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t comma; (comma = v.find(',', from)) != std::string::npos && parts.size() < 3; from = comma + 1)
        parts.push_back(v.substr(from, comma - from));
    parts.push_back(v.substr(from));
    const std::string usage = "write VENDOR,PRODUCT,REVISION, each 1 to " +
                              std::to_string(kSlaveIdentityMax) +
                              " printable ASCII characters without a comma";
    if (parts.size() != 3)
        return usage;
    for (const std::string &p : parts) {
        if (p.empty() || p.size() > kSlaveIdentityMax)
            return usage;
        for (char c : p)
            if (c < 0x20 || c > 0x7E)
                return usage;
    }
    o.identity = {.vendor = parts[0], .product = parts[1], .revision = parts[2]};
    return {};
}

// A line setting stored only when its reader takes it.
template <typename T>
std::string line_setting(std::string (*read)(const std::string &, T &), const std::string &v,
                         std::optional<T> &into)
{
    T value{};
    std::string err = read(v, value);
    if (err.empty())
        into = value;
    return err;
}

// An option's value, checked and stored; "" or the problem, without the
// option's name. A flag's reader gets "".
using Reader = std::string (*)(const std::string &value, SlaveOptions &o);

struct OptionRule {
    const char *name;
    bool takesValue;
    Reader read;
};

const OptionRule kRules[] = {
    {.name = "--tcp",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return add_endpoint(v, o.tcp); }},
    {.name = "--rtu-over-tcp",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return add_endpoint(v, o.rtuOverTcp); }},
    {.name = "--udp",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return add_endpoint(v, o.udp); }},
    {.name = "--rtu",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return parse_serial(v, SerialMode::Rtu, o); }},
    {.name = "--ascii",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return parse_serial(v, SerialMode::Ascii, o); }},
    {.name = "--baud",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return line_setting(read_baud, v, o.baud); }},
    {.name = "--parity",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return line_setting(read_parity, v, o.parity); }},
    {.name = "--data-bits",
     .takesValue = true,
     .read = [](const std::string &v,
                SlaveOptions &o) { return line_setting(read_data_bits, v, o.dataBits); }},
    {.name = "--stop-bits",
     .takesValue = true,
     .read = [](const std::string &v,
                SlaveOptions &o) { return line_setting(read_stop_bits, v, o.stopBits); }},
    {.name = "--unit", .takesValue = true, .read = parse_units},
    {.name = "--load",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return parse_file(v, o.loadFile); }},
    {.name = "--save",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return parse_file(v, o.saveFile); }},
    {.name = "--map",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return parse_file(v, o.mapFile); }},
    {.name = "--device", .takesValue = true, .read = parse_device},
    {.name = "--codes",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) -> std::string {
         if (v != "classic" && v != "all")
             return "use classic or all";
         o.codes = v == "all" ? SlaveCodes::All : SlaveCodes::Classic;
         return {};
     }},
    {.name = "--identity", .takesValue = true, .read = parse_identity},
    {.name = "--size",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) -> std::string {
         long n = 0;
         if (!whole_number(v, 1024, 65536, n))
             return "entries per table, a whole number from 1024 to 65536";
         o.size = uint32_t(n);
         return {};
     }},
    {.name = "--delay",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) -> std::string {
         long n = 0;
         if (!whole_number(v, 0, 10000, n))
             return "milliseconds from 0 to 10000";
         o.delayMs = int(n);
         return {};
     }},
    {.name = "--drop-every",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) -> std::string {
         long n = 0;
         if (!whole_number(v, 0, kFaultDropEveryMax, n))
             return "a whole number from 0 (never) to " + std::to_string(kFaultDropEveryMax);
         o.dropEvery = int(n);
         return {};
     }},
    {.name = "--exception", .takesValue = true, .read = parse_exception},
    {.name = "--corrupt",
     .takesValue = false,
     .read = [](const std::string &, SlaveOptions &o) -> std::string {
         o.corrupt = true;
         return {};
     }},
    {.name = "--log",
     .takesValue = false,
     .read = [](const std::string &, SlaveOptions &o) -> std::string {
         o.log = true;
         return {};
     }},
    {.name = "--duration",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return read_seconds(v, o.durationS); }},
    {.name = "--idle-timeout",
     .takesValue = true,
     .read = [](const std::string &v, SlaveOptions &o) { return read_seconds(v, o.idleTimeoutS); }},
};

const OptionRule *rule_of(const std::string &name)
{
    for (const OptionRule &r : kRules)
        if (name == r.name)
            return &r;
    return nullptr;
}

} // namespace

LineSettings SlaveOptions::line(SerialMode mode) const
{
    LineSettings s;
    if (mode == SerialMode::Ascii) {
        s.parity = 'O';
        s.dataBits = 7;
    }
    s.baud = baud.value_or(s.baud);
    s.parity = parity.value_or(s.parity);
    s.dataBits = dataBits.value_or(s.dataBits);
    s.stopBits = stopBits.value_or(s.stopBits);
    return s;
}

SlaveCommand parse_slave_command(const std::vector<std::string> &args)
{
    SlaveCommand cmd;
    auto refuse = [&](const std::string &text) {
        cmd.action = SlaveCommand::Refused;
        cmd.error = text;
        return cmd;
    };
    Command_line line;
    for (const OptionRule &r : kRules) {
        // A transport or a device adds one each time it is given; any other
        // option given twice takes its last value, as scripts expect when
        // they put their defaults before an override.
        if (r.takesValue)
            line.option(r.name, 1, /*repeatable=*/true);
        else
            line.flag(r.name);
    }
    const Command_parse parsed = line.parse(args);
    switch (parsed.action) {
    case Command_parse::ShowHelp:
        cmd.action = SlaveCommand::ShowHelp;
        return cmd;
    case Command_parse::ShowVersion:
        cmd.action = SlaveCommand::ShowVersion;
        return cmd;
    case Command_parse::Refused:
        return refuse(parsed.error);
    case Command_parse::Run:
        break;
    }
    // In command-line order: the first bad value is the one named.
    std::string lineOption; // the first line setting given
    for (const Command_arg &a : parsed.args) {
        const OptionRule *rule = rule_of(a.option);
        if (!rule)
            continue; // Command_line hands back only the options declared above
        const std::string value = a.values.empty() ? std::string() : a.values.front();
        if (const std::string err = rule->read(value, cmd.options); !err.empty())
            return refuse(a.text() + ": " + err);
        const bool lineSetting = a.option == "--baud" || a.option == "--parity" ||
                                 a.option == "--data-bits" || a.option == "--stop-bits";
        if (lineSetting && lineOption.empty())
            lineOption = a.option;
    }
    const SlaveOptions &o = cmd.options;
    if (o.serial.empty() && !lineOption.empty())
        return refuse(lineOption + ": applies only to --rtu or --ascii");
    // Answers with a checksum: RTU and ASCII lines, RTU over TCP.
    if (o.corrupt && o.serial.empty() && o.rtuOverTcp.empty())
        return refuse("--corrupt: applies only to --rtu, --ascii or --rtu-over-tcp");
    if (o.tcp.empty() && o.rtuOverTcp.empty() && o.idleTimeoutS > 0)
        return refuse("--idle-timeout: applies only to --tcp or --rtu-over-tcp");
    // With --device only the units named are served, each from its own
    // tables: a shared map, a filter or one file of every table has no place.
    if (!o.devices.empty()) {
        if (!o.mapFile.empty())
            return refuse("--map: not with --device (each device has its own map)");
        if (!o.unitFilter.all())
            return refuse("--unit: not with --device (the units named by --device are the units served)");
        if (!o.saveFile.empty())
            return refuse("--save: not with --device (each device has tables of its own)");
    }
    if (!o.anyNetwork() && o.serial.empty())
        cmd.action = SlaveCommand::NoTransport;
    return cmd;
}

std::string slave_version_text()
{
    return "quillan-slave " QUILLAN_VERSION "\n";
}

std::string slave_help_text()
{
    return "Usage: quillan-slave [options]\n"
           "Serves the four tables of a Quillan slave station (1024 coils, input relays,\n"
           "input registers and holding registers, or up to 65536 with --size) over\n"
           "Modbus/TCP, RTU over TCP, Modbus/UDP, RTU and ASCII, with no window: a\n"
           "simulated device for test rigs and CI. All transports of one process share\n"
           "one set of tables (or one per unit, with --device).\n"
           "\n"
           "Transports (at least one):\n"
           "  --tcp [HOST:]PORT     serve Modbus/TCP; HOST defaults to 127.0.0.1; repeatable\n"
           "                        (an IPv6 host in brackets: [::1]:1502; 0.0.0.0 or [::]\n"
           "                        for every interface; PORT 0 takes a free port)\n"
           "  --rtu-over-tcp [HOST:]PORT\n"
           "                        serve RTU frames (CRC, no header) on TCP connections,\n"
           "                        as a serial-to-Ethernet converter carries them; a\n"
           "                        request is complete at its expected length, one not\n"
           "                        finished in 1 s is dropped; repeatable, hosts as --tcp\n"
           "  --udp [HOST:]PORT     serve Modbus/UDP: one Modbus/TCP message per datagram,\n"
           "                        answered by one datagram to its sender; repeatable,\n"
           "                        hosts as --tcp\n"
           "  --rtu DEVICE          serve RTU on a serial device (a path, or COMn as the\n"
           "                        stations use it: $CORVANE_COMn or /dev/ttyS<n-1>)\n"
           "  --ascii DEVICE        serve ASCII on a serial device\n"
           "  --baud N --parity N|E|O --data-bits 7|8 --stop-bits 1|2\n"
           "                        line settings for --rtu/--ascii (defaults: 9600 N 8 1\n"
           "                        for RTU, 9600 O 7 1 for ASCII)\n"
           "\n"
           "Tables and answers:\n"
           "  --unit LIST           answer only these unit addresses (as the stations' unit\n"
           "                        filter, such as 1,5,10-20); default all\n"
           "  --load FILE.csv       initial tables (the stations' CSV format: address,value\n"
           "                        lines, 00001 coils, 10001 input relays, 30001 input\n"
           "                        registers, 40001 holding registers); all or nothing:\n"
           "                        a bad file is named by its first bad line\n"
           "  --save FILE.csv       write the tables there on exit, every answered write\n"
           "                        included (the old file is replaced whole)\n"
           "  --map FILE.csv        a device map for the tables: its initial values are\n"
           "                        written at start and its simulate functions (ramp,\n"
           "                        sine, random, step, toggle, time) change their entries\n"
           "                        every 100 ms until a master writes one; the map's\n"
           "                        device column is not used\n"
           "  --device UNIT=FILE.csv\n"
           "                        unit UNIT (1 to 247) gets tables of its own, set up\n"
           "                        from that map (with --load's values under it);\n"
           "                        repeatable, once per unit; a request for a unit no\n"
           "                        --device names gets no answer on a serial line and\n"
           "                        exception 0B over TCP (not with --map, --unit, --save)\n"
           "  --codes classic|all   function codes answered: all (the default) adds 7, 8\n"
           "                        (sub-function 0), 11, 17, 22, 23 and 43/14 to the\n"
           "                        classic 1-6, 15 and 16; classic answers the others\n"
           "                        with exception 01, as the stations do by default\n"
           "  --identity VENDOR,PRODUCT,REVISION\n"
           "                        what codes 17 and 43/14 say (default: Quillan,\n"
           "                        quillan-slave, the version)\n"
           "  --size N              entries per table, 1024 (the default, as in the\n"
           "                        stations) to 65536; table files and maps take six-digit\n"
           "                        addresses (400001-465536) above 9999; memory grows\n"
           "                        with the entries written, not with N\n"
           "  --delay MS --drop-every N --exception CODE --corrupt\n"
           "                        fault injection, as in the stations: answers MS\n"
           "                        milliseconds late (0 to 10000); no answer to every N-th\n"
           "                        request (0 to 65535); every request answered with\n"
           "                        exception CODE (01, 02, 03, 04, 06 or 0B); serial and\n"
           "                        RTU-over-TCP answers with their checksum inverted\n"
           "\n"
           "Running:\n"
           "  --log                 one line per event on stdout, with the traffic\n"
           "                        history's format; an answer is logged when it is\n"
           "                        sent; lines that stdout does not take in time are\n"
           "                        dropped and counted, never waited for\n"
           "  --duration S          exit by itself after S seconds\n"
           "  --idle-timeout S      close a TCP connection (--tcp, --rtu-over-tcp) whose\n"
           "                        client has sent nothing for S seconds (default: never)\n"
           "  --help                print this text and exit\n"
           "  --version             print the version and exit\n"
           "\n"
           "SIGINT and SIGTERM end it cleanly within two seconds, read or not its output:\n"
           "the tables are saved (--save), a line of the counters goes to stderr (with\n"
           "the --log lines dropped, if any), and the exit status is 0.\n"
           "Exit status: 0 when ended by a signal or --duration; 1 when a port or device\n"
           "cannot be opened, or the tables could not be saved on exit; 2 for a bad option\n"
           "or value (a --load, --map or --device file that cannot be read or holds a bad\n"
           "line, the same --device unit twice, a --save file that cannot be replaced,\n"
           "such as a directory or a file in a directory that cannot be written), or no\n"
           "transport.\n";
}
