// quillan-slave's command line with lists of --device, --map, --size and
// --codes values, read as the program reads them (nothing is opened). Any
// list is refused with one line naming an option, or read; what is read
// holds every --device given, each unit once, and values in their ranges.
//
// Input: lines, each one argument after "--tcp 1502". A line starting with
// d, m, s or c is that option and the rest its value, as two arguments; D, M,
// S or C the same as one, "--device=VALUE"; any other line is taken as it is.
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Slave_options.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

constexpr size_t kArgsMax = 64;

const char *option_of(char c)
{
    switch (c | 0x20) {
    case 'd': return "--device";
    case 'm': return "--map";
    case 's': return "--size";
    case 'c': return "--codes";
    }
    return nullptr;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> args{"--tcp", "1502"};
    for (size_t from = 0; from <= input.size() && args.size() < kArgsMax;) {
        const size_t end = std::min(input.find('\n', from), input.size());
        const std::string_view line = input.substr(from, end - from);
        from = end + 1;
        const char *option = line.empty() ? nullptr : option_of(line[0]);
        if (!option)
            args.emplace_back(line);
        else if (line[0] & 0x20)
            args.insert(args.end(), {option, std::string(line.substr(1))});
        else
            args.push_back(option + ("=" + std::string(line.substr(1))));
    }
    size_t devicesGiven = 0;
    for (const std::string &a : args)
        devicesGiven += a == "--device" || starts_with(a, "--device=");

    const SlaveCommand cmd = parse_slave_command(args);
    switch (cmd.action) {
    case SlaveCommand::Refused:
        check(!cmd.error.empty() && cmd.error.find('\n') == std::string::npos);
        check(starts_with(cmd.error, "--") || starts_with(cmd.error, "unknown option ") ||
              starts_with(cmd.error, "unexpected argument '"));
        return 0;
    case SlaveCommand::ShowHelp:
    case SlaveCommand::ShowVersion: return 0;
    case SlaveCommand::NoTransport: check(false); return 0;
    case SlaveCommand::Serve: break;
    }
    const SlaveOptions &o = cmd.options;
    check(o.tcp.size() >= 1 && o.devices.size() == devicesGiven);
    std::set<unsigned> units;
    for (const DeviceMapOption &d : o.devices) {
        check(d.unit >= 1 && d.unit <= 247 && !d.file.empty() && units.insert(d.unit).second);
        check(d.given.size() > d.file.size() && d.given.compare(d.given.size() - d.file.size(), d.file.size(), d.file) == 0);
    }
    check(o.devices.empty() || (o.mapFile.empty() && o.unitFilter.all()));
    check(o.size >= 1024 && o.size <= 65536);
    check(o.codes == SlaveCodes::All || o.codes == SlaveCodes::Classic);
    return 0;
}
