// The command lines of the programs without a window, read alike. CLI11
// recognises the options (--name VALUE and --name=VALUE, flags, repeats,
// options taking two values); every problem it finds becomes one line that
// names the option, without the program's name. The values are handed back
// as given and in command-line order, for the program's own checks, which
// name the option and value the same way ("--timeout 5: ...").
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

struct Command_arg {
    std::string option;               // "--read"
    std::vector<std::string> values;  // as given; none for a flag
    // "--read 40001:10", for messages.
    std::string text() const;
};

struct Command_parse {
    enum Action {
        Run,          // args holds the options
        ShowHelp,     // --help
        ShowVersion,  // --version
        Refused,      // error names the option and its problem
    };
    Action action = Run;
    std::string error;  // one line, no program name, no newline
    std::vector<Command_arg> args;

    bool has(std::string_view option) const;
    // The first use of option, nullptr when not given.
    const Command_arg *find(std::string_view option) const;
};

class Command_line {
public:
    Command_line();
    ~Command_line();
    Command_line(const Command_line &) = delete;
    Command_line &operator=(const Command_line &) = delete;

    // An option taking `values` values (1 or 2) each time it is given; once
    // only unless repeatable.
    void option(const std::string &name, int values = 1, bool repeatable = false);
    // An option without a value.
    void flag(const std::string &name);

    // Reads args (without the program's name). --help and --version are
    // always known; whichever comes first ends the reading.
    Command_parse parse(const std::vector<std::string> &args);

private:
    struct Declared {
        std::string name;
        int values;
        bool repeatable;
    };
    std::unique_ptr<CLI::App> app_;
    std::vector<Declared> declared_;
};
