#include "Command_line.h"

#include <CLI/CLI.hpp>
#include <map>

std::string Command_arg::text() const
{
    std::string t = option;
    for (const std::string &v : values)
        t += " " + v;
    return t;
}

bool Command_parse::has(std::string_view option) const { return find(option) != nullptr; }

const Command_arg *Command_parse::find(std::string_view option) const
{
    for (const Command_arg &a : args)
        if (a.option == option)
            return &a;
    return nullptr;
}

Command_line::Command_line() : app_(std::make_unique<CLI::App>())
{
    // Help and version are answered before CLI11 reads anything.
    app_->set_help_flag();
    // What CLI11 does not know is told by name below, not in its words.
    app_->allow_extras();
}

Command_line::~Command_line() = default;

void Command_line::option(const std::string &name, int values, bool repeatable)
{
    // Every use is kept: a second use of a once-only option is refused
    // below, naming it.
    app_->add_option(name)->expected(values)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    declared_.push_back({name, values, repeatable});
}

void Command_line::flag(const std::string &name)
{
    app_->add_flag(name)->disable_flag_override()->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    declared_.push_back({name, 0, true});  // a flag given twice is still one flag
}

namespace {

Command_parse refused(std::string text)
{
    Command_parse p;
    p.action = Command_parse::Refused;
    p.error = std::move(text);
    return p;
}

// The option a CLI11 message starts with ("--timeout: 1 required TEXT
// missing"); empty when it names none.
std::string named_option(const std::string &message)
{
    if (message.compare(0, 2, "--") != 0)
        return {};
    const size_t end = message.find_first_of(": ");
    return message.substr(0, end);
}

}  // namespace

Command_parse Command_line::parse(const std::vector<std::string> &args)
{
    for (const std::string &a : args) {
        if (a == "--help" || a == "--version") {
            Command_parse p;
            p.action = a == "--help" ? Command_parse::ShowHelp : Command_parse::ShowVersion;
            return p;
        }
    }
    // "--log=" is a flag with a value too, though CLI11 takes it as the flag.
    for (const std::string &a : args) {
        const size_t eq = a.find('=');
        if (a.compare(0, 2, "--") != 0 || eq == std::string::npos)
            continue;
        const std::string name = a.substr(0, eq);
        for (const Declared &d : declared_)
            if (d.name == name && d.values == 0)
                return refused(name + " takes no value");
    }
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app_->parse(reversed);
    } catch (const CLI::ArgumentMismatch &e) {
        const std::string message = e.what();
        const std::string name = named_option(message);
        if (!name.empty())
            return refused(name + " needs a value");
        return refused(message);
    } catch (const CLI::ParseError &e) {
        return refused(e.what());
    }
    if (const std::vector<std::string> rest = app_->remaining(); !rest.empty()) {
        const std::string &first = rest.front();
        if (first.size() > 1 && first[0] == '-')
            return refused("unknown option " + first + " (see --help)");
        return refused("unexpected argument '" + first + "' (see --help)");
    }

    auto declared = [this](const std::string &name) -> const Declared * {
        for (const Declared &k : declared_)
            if (k.name == name)
                return &k;
        return nullptr;
    };
    Command_parse p;
    // The parse order names an option once per value it took: an option of
    // two values stands there twice for each use.
    std::map<const CLI::Option *, size_t> seen;
    std::map<std::string, int> uses;
    for (const CLI::Option *o : app_->parse_order()) {
        const std::string name = "--" + o->get_lnames().front();
        const Declared *d = declared(name);
        if (!d)
            continue;
        const size_t k = seen[o]++;
        const size_t perUse = size_t(d->values > 0 ? d->values : 1);
        if (k % perUse != 0)
            continue;
        if (++uses[name] == 2 && !d->repeatable)
            return refused(name + " is given more than once");
        Command_arg arg;
        arg.option = name;
        const std::vector<std::string> &results = o->results();
        for (size_t i = k; i < k + size_t(d->values) && i < results.size(); ++i) {
            // "--read --log": the next option is no value.
            if (declared(results[i]))
                return refused(name + " needs a value");
            arg.values.push_back(results[i]);
        }
        if (arg.values.size() < size_t(d->values))
            return refused(name + " needs " + std::to_string(d->values) + " values");
        p.args.push_back(std::move(arg));
    }
    return p;
}
