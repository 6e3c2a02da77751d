#include "Slave_options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Fault_injection.h"

#ifndef QUILLAN_VERSION
#define QUILLAN_VERSION "0"
#endif

namespace {

// A whole decimal number from lo to hi, nothing else around it.
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

// "COMn" as the stations name their ports; 0 when the text is not that form.
int com_port_number(const std::string &d)
{
    if (d.size() < 4 || d.size() > 8 || d.compare(0, 3, "COM") != 0)
        return 0;
    long n = 0;
    if (!whole_number(d.substr(3), 0, 99999, n))
        return 0;
    return n == 0 || n > kSlaveComPortMax ? -1 : int(n);
}

std::string parse_serial(const std::string &v, SerialMode mode, SlaveOptions &o)
{
    if (v.empty())
        return "the device must not be empty";
    if (v.size() > kSlaveOptionTextMax)
        return "the device name is too long";
    SerialEndpoint s;
    s.mode = mode;
    s.device = v;
    s.comPort = com_port_number(v);
    if (s.comPort < 0)
        return "serial ports are COM1 to COM" + std::to_string(kSlaveComPortMax);
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

std::string parse_seconds(const std::string &v, double &into)
{
    // Seconds, fractions allowed: "0.5", "30".
    if (v.empty() || v.size() > 16 || v.find_first_not_of("0123456789.") != std::string::npos)
        return "a number of seconds greater than 0, at most 1000000";
    errno = 0;
    char *end = nullptr;
    const double s = std::strtod(v.c_str(), &end);
    if (errno != 0 || end != v.c_str() + v.size() || !(s > 0) || s > 1e6)
        return "a number of seconds greater than 0, at most 1000000";
    into = s;
    return {};
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
    const std::string usage = "write VENDOR,PRODUCT,REVISION, each 1 to " + std::to_string(kSlaveIdentityMax) +
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

using Setter = std::string (*)(const std::string &value, SlaveOptions &o);

struct OptionRule {
    const char *name;
    bool takesValue;
    Setter set;
};

bool one_of(long v, std::initializer_list<long> allowed)
{
    for (long a : allowed)
        if (v == a)
            return true;
    return false;
}

std::string add_endpoint(const std::string &v, std::vector<TcpEndpoint> &to)
{
    TcpEndpoint e;
    std::string err = parse_endpoint(v, e);
    if (err.empty())
        to.push_back(e);
    return err;
}

const OptionRule kRules[] = {
    {.name = "--tcp", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return add_endpoint(v, o.tcp); }},
    {.name = "--rtu-over-tcp", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return add_endpoint(v, o.rtuOverTcp); }},
    {.name = "--udp", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return add_endpoint(v, o.udp); }},
    {.name = "--rtu", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return parse_serial(v, SerialMode::Rtu, o); }},
    {.name = "--ascii", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return parse_serial(v, SerialMode::Ascii, o); }},
    {.name = "--baud", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) -> std::string {
         long b = 0;
         if (!whole_number(v, 50, 4000000, b) ||
             !one_of(b, {50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600,
                         115200, 230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000,
                         2500000, 3000000, 3500000, 4000000}))
             return "not a baud rate the serial line can take (such as 9600, 19200, 115200)";
         o.baud = int(b);
         return {};
     }},
    {.name = "--parity", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) -> std::string {
         if (v == "N" || v == "E" || v == "O" || v == "n" || v == "e" || v == "o") {
             o.parity = char(v[0] & ~0x20);
             return {};
         }
         return "use N, E or O";
     }},
    {.name = "--data-bits", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) -> std::string {
         long n = 0;
         if (!whole_number(v, 7, 8, n))
             return "use 7 or 8";
         o.dataBits = int(n);
         return {};
     }},
    {.name = "--stop-bits", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) -> std::string {
         long n = 0;
         if (!whole_number(v, 1, 2, n))
             return "use 1 or 2";
         o.stopBits = int(n);
         return {};
     }},
    {.name = "--unit", .takesValue = true, .set = parse_units},
    {.name = "--load", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return parse_file(v, o.loadFile); }},
    {.name = "--save", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return parse_file(v, o.saveFile); }},
    {.name = "--map", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return parse_file(v, o.mapFile); }},
    {.name = "--device", .takesValue = true, .set = parse_device},
    {.name = "--codes", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) -> std::string {
         if (v != "classic" && v != "all")
             return "use classic or all";
         o.codes = v == "all" ? SlaveCodes::All : SlaveCodes::Classic;
         return {};
     }},
    {.name = "--identity", .takesValue = true, .set = parse_identity},
    {.name = "--size", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) -> std::string {
         long n = 0;
         if (!whole_number(v, 1024, 65536, n))
             return "entries per table, a whole number from 1024 to 65536";
         o.size = uint32_t(n);
         return {};
     }},
    {.name = "--delay", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) -> std::string {
         long n = 0;
         if (!whole_number(v, 0, 10000, n))
             return "milliseconds from 0 to 10000";
         o.delayMs = int(n);
         return {};
     }},
    {.name = "--drop-every", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) -> std::string {
         long n = 0;
         if (!whole_number(v, 0, kFaultDropEveryMax, n))
             return "a whole number from 0 (never) to " + std::to_string(kFaultDropEveryMax);
         o.dropEvery = int(n);
         return {};
     }},
    {.name = "--exception", .takesValue = true, .set = parse_exception},
    {.name = "--corrupt", .takesValue = false,
     .set = [](const std::string &, SlaveOptions &o) -> std::string {
         o.corrupt = true;
         return {};
     }},
    {.name = "--log", .takesValue = false,
     .set = [](const std::string &, SlaveOptions &o) -> std::string {
         o.log = true;
         return {};
     }},
    {.name = "--duration", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return parse_seconds(v, o.durationS); }},
    {.name = "--idle-timeout", .takesValue = true,
     .set = [](const std::string &v, SlaveOptions &o) { return parse_seconds(v, o.idleTimeoutS); }},
};

}  // namespace

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
    std::vector<std::string> lineOptions;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        // "--delay=250" as well as "--delay 250".
        if (const size_t eq = name.find('='); name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "--version") {
            cmd.action = name == "--help" ? SlaveCommand::ShowHelp : SlaveCommand::ShowVersion;
            return cmd;
        }
        const OptionRule *rule = nullptr;
        for (const OptionRule &r : kRules)
            if (name == r.name)
                rule = &r;
        if (!rule) {
            if (name.compare(0, 1, "-") == 0)
                return refuse("unknown option " + name + " (see --help)");
            return refuse("unexpected argument '" + name + "' (see --help)");
        }
        if (rule->takesValue && !value) {
            if (i + 1 >= args.size())
                return refuse(name + " needs a value");
            value = args[++i];
        } else if (!rule->takesValue && value) {
            return refuse(name + " takes no value");
        }
        if (const std::string err = rule->set(value.value_or(""), cmd.options); !err.empty())
            return refuse(name + " " + value.value_or("") + ": " + err);
        if (name == "--baud" || name == "--parity" || name == "--data-bits" || name == "--stop-bits")
            lineOptions.push_back(name);
    }
    const SlaveOptions &o = cmd.options;
    if (o.serial.empty() && !lineOptions.empty())
        return refuse(lineOptions.front() + ": applies only to --rtu or --ascii");
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
