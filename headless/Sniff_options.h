// The command line of quillan-sniff, read with the parser quillan-slave and
// quillan-poll share (Command_line): one serial line to listen to, with
// quillan-slave's line options and defaults (its rules read them), and where
// the traffic goes. Parsing only checks and records.
#pragma once

#include <string>
#include <vector>

#include "Slave_options.h"

struct SniffOptions {
    SerialEndpoint device;
    LineSettings line;
    UnitFilter unitFilter;  // --unit: what is shown, written and mirrored; all when not given
    std::string pcapFile;
    std::string csvFile;
    std::string saveFile;
    double durationS = 0;   // 0: until a signal
    bool log = false;

    // The history's lines go to stdout with --log, or when nothing else is
    // asked for.
    bool printsHistory() const { return log || (pcapFile.empty() && csvFile.empty() && saveFile.empty()); }
};

struct SniffCommand {
    enum Action {
        Listen,       // options holds the line
        ShowHelp,     // --help
        ShowVersion,  // --version
        NoDevice,     // no --rtu or --ascii: the help text and status 2
        Refused,      // error names the option and its problem
    };
    Action action = Listen;
    SniffOptions options;
    std::string error;  // one line, no program name, no newline
};

SniffCommand parse_sniff_command(const std::vector<std::string> &args);

std::string sniff_help_text();
std::string sniff_version_text();

// FILE.csv for unit 7 when several units are saved: FILE-7.csv.
std::string unit_save_file(const std::string &path, unsigned unit);
