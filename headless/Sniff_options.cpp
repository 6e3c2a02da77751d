#include "Sniff_options.h"

#include "Command_line.h"

#ifndef QUILLAN_VERSION
#define QUILLAN_VERSION "0"
#endif

namespace {

// The options quillan-slave reads the same way; the rest of its options
// (serving, faults) mean nothing to a monitor.
const char *const kSharedOptions[] = {"--rtu",       "--ascii", "--baud", "--parity",   "--data-bits",
                                      "--stop-bits", "--unit",  "--save", "--duration"};

}  // namespace

SniffCommand parse_sniff_command(const std::vector<std::string> &args)
{
    SniffCommand cmd;
    auto refuse = [&](const std::string &text) {
        cmd.action = SniffCommand::Refused;
        cmd.error = text;
        return cmd;
    };
    // Every option given twice takes its last value, as in quillan-slave;
    // two devices are refused below, naming the problem.
    Command_line parser;
    for (const char *o : kSharedOptions)
        parser.option(o, 1, /*repeatable=*/true);
    parser.flag("--log");
    parser.option("--pcap", 1, /*repeatable=*/true);
    parser.option("--csv", 1, /*repeatable=*/true);
    const Command_parse parsed = parser.parse(args);
    switch (parsed.action) {
    case Command_parse::ShowHelp: cmd.action = SniffCommand::ShowHelp; return cmd;
    case Command_parse::ShowVersion: cmd.action = SniffCommand::ShowVersion; return cmd;
    case Command_parse::Refused: return refuse(parsed.error);
    case Command_parse::Run: break;
    }
    // The line and the shared options are read by quillan-slave's own rules.
    std::vector<std::string> forwarded;
    for (const Command_arg &a : parsed.args) {
        if (a.option != "--pcap" && a.option != "--csv") {
            forwarded.push_back(a.values.empty() ? a.option : a.option + "=" + a.values.front());
            continue;
        }
        const std::string &value = a.values.front();
        if (value.empty())
            return refuse(a.text() + ": the file name must not be empty");
        if (value.size() > kSlaveOptionTextMax)
            return refuse(a.option + ": the file name is too long");
        (a.option == "--pcap" ? cmd.options.pcapFile : cmd.options.csvFile) = value;
    }
    const SlaveCommand line = parse_slave_command(forwarded);
    if (line.action == SlaveCommand::Refused)
        return refuse(line.error);
    if (line.options.serial.empty()) {
        cmd.action = SniffCommand::NoDevice;
        return cmd;
    }
    if (line.options.serial.size() > 1)
        return refuse("listens to one line: give --rtu DEVICE or --ascii DEVICE once");
    SniffOptions &o = cmd.options;
    o.device = line.options.serial.front();
    o.line = line.options.line(o.device.mode);
    o.unitFilter = line.options.unitFilter;
    o.saveFile = line.options.saveFile;
    o.durationS = line.options.durationS;
    o.log = line.options.log;
    if (!o.pcapFile.empty() && o.device.mode == SerialMode::Ascii)
        return refuse("--pcap " + o.pcapFile +
                      ": Modbus ASCII traffic cannot be written as a capture (Wireshark has no dissector for "
                      "it); use --csv");
    return cmd;
}

std::string unit_save_file(const std::string &path, unsigned unit)
{
    const std::string tag = "-" + std::to_string(unit);
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == 0 || path[dot - 1] == '/')
        return path + tag;
    return path.substr(0, dot) + tag + path.substr(dot);
}

std::string sniff_version_text()
{
    return "quillan-sniff " QUILLAN_VERSION "\n";
}

std::string sniff_help_text()
{
    return "Usage: quillan-sniff --rtu DEVICE | --ascii DEVICE [options]\n"
           "Listens to a Modbus serial line that a master and its devices already use, and\n"
           "never sends a byte on it: shows each request and answer as it passes, pairs\n"
           "answers with their requests, times them, counts exceptions, checksum errors,\n"
           "unanswered requests and noise, and mirrors the devices' tables as far as the\n"
           "line reveals them.\n"
           "\n"
           "The line:\n"
           "  --rtu DEVICE          listen to RTU on a serial device (a path, or COMn as the\n"
           "                        stations use it: $CORVANE_COMn or /dev/ttyS<n-1>)\n"
           "  --ascii DEVICE        listen to ASCII on a serial device\n"
           "  --baud N --parity N|E|O --data-bits 7|8 --stop-bits 1|2\n"
           "                        the line's settings (defaults: 9600 N 8 1 for RTU,\n"
           "                        9600 O 7 1 for ASCII)\n"
           "  --unit LIST           show, write and mirror only these units (such as\n"
           "                        1,5,10-20); default all\n"
           "\n"
           "Output:\n"
           "  --log                 one line per frame on stdout, in the traffic history's\n"
           "                        format (also the default when no other output is given)\n"
           "  --pcap FILE           write the frames as a capture Wireshark and tshark read\n"
           "                        (RTU only; each frame written as it arrives)\n"
           "  --csv FILE            write the traffic as CSV, each line as it arrives\n"
           "  --save FILE.csv       on exit, write the tables the answers revealed, in the\n"
           "                        stations' tables CSV form; with several units on the\n"
           "                        line, one file per unit: FILE-<unit>.csv\n"
           "\n"
           "Running:\n"
           "  --duration S          exit by itself after S seconds\n"
           "  --help                print this text and exit\n"
           "  --version             print the version and exit\n"
           "\n"
           "SIGINT and SIGTERM end it cleanly: the tables are saved (--save) and a summary\n"
           "goes to stderr (the line's counters, then per unit the requests, answers and\n"
           "response times).\n"
           "Exit status: 0 when ended by a signal or --duration; 1 when the device cannot be\n"
           "opened, or a file could not be written; 2 for a bad option or value (a --pcap,\n"
           "--csv or --save file that cannot be created), or no device.\n";
}
