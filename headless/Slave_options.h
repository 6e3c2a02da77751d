// The command line of quillan-slave: what to serve, where, and how to
// misbehave, read with the parser quillan-poll shares (Command_line).
// Parsing only checks and records; nothing is opened here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Option_values.h"
#include "Slave_engine.h"
#include "Unit_filter.h"

struct TcpEndpoint {
    std::string host;  // numeric IPv4 or IPv6 address
    uint16_t port = 0; // 0: a free port the system picks
    std::string given; // as written on the command line, for messages
};

enum class SerialMode { Rtu, Ascii };

struct SerialEndpoint {
    SerialMode mode = SerialMode::Rtu;
    std::string device;  // a path, or "COMn"
    int comPort = 0;     // n when the device was given as COMn, else 0
};

struct LineSettings {
    int baud = 9600;
    char parity = 'N';
    int dataBits = 8;
    int stopBits = 1;
};

// --device UNIT=FILE.csv: tables of the unit's own, set up from a map.
struct DeviceMapOption {
    uint8_t unit = 1;
    std::string file;
    std::string given;  // as written on the command line, for messages
};

struct SlaveOptions {
    std::vector<TcpEndpoint> tcp;
    std::vector<TcpEndpoint> rtuOverTcp;  // RTU frames on TCP connections
    std::vector<TcpEndpoint> udp;         // Modbus/TCP messages in UDP datagrams
    std::vector<SerialEndpoint> serial;
    // Line settings given on the command line; the rest follow the mode.
    std::optional<int> baud;
    std::optional<char> parity;
    std::optional<int> dataBits;
    std::optional<int> stopBits;

    UnitFilter unitFilter;  // --unit, read; all units when not given
    std::string loadFile;
    std::string saveFile;
    std::string mapFile;                  // --map: the shared tables' map
    std::vector<DeviceMapOption> devices; // --device, in the order given
    SlaveCodes codes = SlaveCodes::All;   // --codes
    uint32_t size = 1024;                 // --size: entries per table
    SlaveIdentity identity{.vendor = "Quillan", .product = "quillan-slave", .revision = slave_program_version()};

    int delayMs = 0;
    int dropEvery = 0;      // 0: never
    int forcedException = 0; // 0: none, else the exception code
    bool corrupt = false;

    bool log = false;
    double durationS = 0;   // 0: until a signal
    double idleTimeoutS = 0; // TCP connections that sent nothing for this long are closed; 0: never

    bool anyNetwork() const { return !tcp.empty() || !rtuOverTcp.empty() || !udp.empty(); }

    // What the line of a serial endpoint in this mode runs at: the settings
    // given, the mode's defaults for the rest (RTU 9600 N 8 1, ASCII 9600 O 7 1).
    LineSettings line(SerialMode mode) const;
};

struct SlaveCommand {
    enum Action {
        Serve,        // options holds what to serve
        ShowHelp,     // --help
        ShowVersion,  // --version
        NoTransport,  // nothing to serve: the help text and status 2
        Refused,      // error names the option and its problem
    };
    Action action = Serve;
    SlaveOptions options;
    std::string error;  // one line, no program name, no newline
};

SlaveCommand parse_slave_command(const std::vector<std::string> &args);

std::string slave_help_text();
std::string slave_version_text();

// Largest unit filter text and file name taken from the command line.
constexpr size_t kSlaveOptionTextMax = 4096;
// The serial ports the link library numbers: COM1 to COM13.
constexpr int kSlaveComPortMax = kComPortMax;
