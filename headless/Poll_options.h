// The command line of quillan-poll: which device, what to ask it, how often,
// and how to print the answers. Parsing checks every value and records it;
// nothing is opened and no file is read here (the map is read, and the
// writes by name checked against it, before anything is sent).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Value_format.h"

enum class Poll_transport : uint8_t { Tcp, Rtu, Ascii, RtuOverTcp, Udp };
enum class Poll_output : uint8_t { Text, Csv, Json };

// An address as the grids show it: five digits (00001 coils, 10001 input
// relays, 30001 input registers, 40001 holding registers, 1 to 9999 each)
// or six (000001 ... 465536, 1 to 65536 each).
struct Grid_address {
    uint8_t kind = 2;    // 0 coils, 1 input relays, 2 holding registers, 3 input registers
    uint16_t index = 0;  // from 0: 40001 is index 0
    bool sixDigits = false;

    bool bits() const { return kind < 2; }
    // The address offset places further on, in the same digits (six when
    // five no longer reach): "40011", "410000".
    std::string text(uint32_t offset = 0) const;
    long number(uint32_t offset = 0) const;
};
bool parse_grid_address(std::string_view text, Grid_address &out);

// One request of a poll, in the order given on the command line.
struct Poll_step {
    enum Kind : uint8_t { Read, Write, MaskWrite, ReadWrite, Identify, ReportId, Map };  // Map: the map's blocks
    Kind kind = Read;
    std::string given;        // the option and its value, for messages
    Grid_address at;          // Read, Write, MaskWrite; ReadWrite: what it reads
    uint16_t count = 0;       // Read, ReadWrite: registers or bits read
    std::string name;         // Write by a map entry's name (at unused)
    std::string values;       // Write, ReadWrite: the values as typed
    std::vector<uint8_t> bits;    // Write to coils: 0 or 1 each
    std::vector<uint16_t> words;  // Write to registers, ReadWrite: the words written
    Grid_address writeAt;     // ReadWrite: where it writes
    uint16_t andMask = 0, orMask = 0;  // MaskWrite
};

struct Poll_options {
    Poll_transport transport = Poll_transport::Tcp;
    std::string target;  // as given: "127.0.0.1:1502", "/dev/ttyUSB0"
    std::string host;    // TCP, RTU over TCP, UDP: a name or a numeric address
    uint16_t port = 502;
    int comPort = 0;     // serial: n for COMn, 0 for a path in target
    int baud = 9600;
    char parity = 'N';
    int dataBits = 8;
    int stopBits = 1;

    int timeoutMs = 1000;
    int unit = 1;
    ValueFormat format = ValueFormat::Signed;
    std::vector<Poll_step> steps;
    std::string mapFile;
    std::vector<std::string> only;  // --only: map entries by name; empty: all

    bool scan = false;
    int scanFirst = 0, scanLast = 0;

    bool repeat = false;  // --interval, --polls or --duration given
    int intervalMs = 0;   // start to start
    long polls = 0;       // 0: no count
    double durationS = 0; // 0: no time limit

    Poll_output output = Poll_output::Text;
    std::string pcapFile;
    bool log = false;
};

struct Poll_command {
    enum Action { Run, ShowHelp, ShowVersion, Refused };
    Action action = Run;
    Poll_options options;
    std::string error;  // one line naming the option, no program name, no newline
};

Poll_command parse_poll_command(const std::vector<std::string> &args);

// A value format by its pick-list text in any case, "-" or "_" for blanks:
// "float-cdab" is Float CDAB. false when none has that name.
bool parse_format_name(std::string_view text, ValueFormat &format);

std::string poll_help_text();
std::string poll_version_text();
