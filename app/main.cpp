#include "Startup.h"

#include <cstdio>
#include <cstring>

#ifndef QUILLAN_VERSION
#error "QUILLAN_VERSION is set by the build from the project's version"
#endif

namespace {

// --help and --version are answered before any Qt object exists: they need no
// display, so they work on a server, in a package build and for help2man,
// which makes the manual page from these two texts.
const char help_text[] =
    "Usage: quillan [OPTION]... [FILE.qsetup]...\n"
    "Play either side of a Modbus RTU, ASCII or TCP link and watch the traffic\n"
    "byte by byte. The main frame's menu opens three master stations, which read\n"
    "and write a device, and three slave stations, which serve four 1024-entry\n"
    "tables (output coils, input relays, holding and input registers).\n"
    "\n"
    "Each FILE.qsetup, a station setup saved with \"Save setup...\", opens its\n"
    "station at start with the setup applied; its port or server stays closed.\n"
    "\n"
    "Options:\n"
    "      --help       display this help and exit\n"
    "      --version    output version information and exit\n"
    "\n"
    "Qt's own options, such as -platform offscreen or -style Fusion, are accepted\n"
    "as by every Qt program.\n"
    "\n"
    "Environment:\n"
    "  CORVANE_COMn    the device serial port COMn (n from 1 to 8) stands for,\n"
    "                  for example CORVANE_COM3=/dev/ttyUSB0; without it COMn is\n"
    "                  /dev/ttyS<n-1>\n";

const char version_text[] =
    "quillan " QUILLAN_VERSION "\n"
    "Copyright (C) 2026 The Quillan developers\n"
    "License: MIT <https://opensource.org/licenses/MIT>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

// The text asked for by the first --help or --version among the arguments, or
// null when the program is to start as usual (other arguments are Qt's or
// setup files).
const char *early_answer(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0)
            return help_text;
        if (std::strcmp(argv[i], "--version") == 0)
            return version_text;
    }
    return nullptr;
}

// Prints the answer; a full disk or a closed pipe is a failure, not silence
// reported as success.
int print_answer(const char *text)
{
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("quillan: cannot write to standard output\n", stderr);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (const char *answer = early_answer(argc, argv))
        return print_answer(answer);

    TApplication app(argc, argv);
    try {
        Startup program;
        open_setup_files(setup_arguments(app.arguments()));
        int rc = app.exec();
        app.rethrowPending();
        return rc;
    } catch (...) {
        show_fatal_exception(exception_text(std::current_exception()));
        return 1;
    }
}
