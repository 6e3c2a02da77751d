#include "Station_setup.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "Replaced_file.h"
#include "Small_file.h"

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

enum Type { Flag, Integer, Number, Text, Texts };  // Setup_value's alternatives, in order

std::string number_text(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

std::string range_text(const Setup_key &k)
{
    const bool low = k.low != std::numeric_limits<double>::lowest();
    const bool high = k.high != std::numeric_limits<double>::max();
    if (low && high)
        return " from " + number_text(k.low) + " to " + number_text(k.high);
    if (low)
        return " from " + number_text(k.low) + " up";
    if (high)
        return " up to " + number_text(k.high);
    return {};
}

std::string choices_text(const Setup_key &k)
{
    std::string text;
    for (const std::string &c : k.choices)
        text += (text.empty() ? "" : ", ") + c;
    return text;
}

// What a key of its type must be, for the message of a value of another.
std::string type_text(const Setup_key &k)
{
    switch (k.fallback.index()) {
    case Flag:
        return "must be true or false";
    case Integer:
        return "must be a whole number" + range_text(k);
    case Number:
        return "must be a number" + range_text(k);
    case Text:
        return k.choices.empty() ? "must be a text" : "must be one of: " + choices_text(k);
    default:
        break;
    }
    return "must be a list of texts";
}

bool text_taken(const Setup_key &k, const std::string &s)
{
    if (k.choices.empty())
        return true;
    for (const std::string &c : k.choices)
        if (c == s)
            return true;
    return false;
}

// "" when value is one the key takes, else the reason.
std::string check(const Setup_key &k, const Setup_value &value)
{
    if (value.index() != k.fallback.index())
        return type_text(k);
    switch (value.index()) {
    case Integer: {
        const double v = double(std::get<int64_t>(value));
        return v >= k.low && v <= k.high ? "" : type_text(k);
    }
    case Number: {
        const double v = std::get<double>(value);
        return std::isfinite(v) && v >= k.low && v <= k.high ? "" : type_text(k);
    }
    case Text: {
        const std::string &s = std::get<std::string>(value);
        if (s.size() > k.max_length)
            return "longer than " + std::to_string(k.max_length) + " bytes";
        return text_taken(k, s) ? "" : type_text(k);
    }
    case Texts: {
        const Setup_texts &list = std::get<Setup_texts>(value);
        if (list.size() > k.max_items)
            return "more than " + std::to_string(k.max_items) + " texts";
        for (const std::string &s : list) {
            if (s.size() > k.max_length)
                return "a text longer than " + std::to_string(k.max_length) + " bytes";
            if (!text_taken(k, s))
                return "each text must be one of: " + choices_text(k);
        }
        return {};
    }
    default:
        return {};
    }
}

// The JSON value as the key's type; "" or the reason.
std::string from_json_value(const Setup_key &k, const Json &j, Setup_value &out)
{
    switch (k.fallback.index()) {
    case Flag:
        if (!j.is_boolean())
            return type_text(k);
        out = j.get<bool>();
        break;
    case Integer:
        if (!j.is_number_integer() ||
            (j.is_number_unsigned() && j.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())))
            return type_text(k);
        out = j.get<int64_t>();
        break;
    case Number:
        if (!j.is_number())
            return type_text(k);
        out = j.get<double>();
        break;
    case Text:
        if (!j.is_string())
            return type_text(k);
        out = j.get<std::string>();
        break;
    default: {
        if (!j.is_array())
            return type_text(k);
        Setup_texts list;
        for (const Json &item : j) {
            if (!item.is_string())
                return type_text(k);
            if (list.size() == k.max_items)
                return "more than " + std::to_string(k.max_items) + " texts";
            list.push_back(item.get<std::string>());
        }
        out = std::move(list);
        break;
    }
    }
    return check(k, out);
}

Json to_json_value(const Setup_value &v)
{
    switch (v.index()) {
    case Flag:
        return std::get<bool>(v);
    case Integer:
        return std::get<int64_t>(v);
    case Number:
        return std::get<double>(v);
    case Text:
        return std::get<std::string>(v);
    default:
        break;
    }
    return std::get<Setup_texts>(v);
}

std::string file_label(const std::string &path) { return fs::path(path).filename().string(); }

fs::path absolute_normal(const std::string &path)
{
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(path), ec);
    if (ec)
        p = fs::path(path);
    return p.lexically_normal();
}

// Parses a setup's text into j and reads what every setup starts with:
// "" with station set, or the reason, after prefix.
std::string parse_head(std::string_view text, const std::string &prefix, Json &j, std::string &station)
{
    if (text.size() > kSetupMaxBytes)
        return prefix + "larger than " + std::to_string(kSetupMaxBytes) + " bytes";
    // The parser keeps the last of two equal keys; a file that gives one
    // twice is refused instead, naming it.
    std::string twice;
    std::set<std::string> seen;
    const Json::parser_callback_t note_keys = [&](int depth, Json::parse_event_t event, Json &parsed) {
        if (depth == 1 && event == Json::parse_event_t::key && twice.empty() && parsed.is_string() &&
            !seen.insert(parsed.get<std::string>()).second)
            twice = parsed.get<std::string>();
        return true;
    };
    try {
        j = Json::parse(text.begin(), text.end(), note_keys);
    } catch (const Json::exception &e) {
        // Syntax errors, and numbers beyond a double's range (1e99999)
        std::string why = e.what();
        // "[json.exception.parse_error.101] parse error at line 1, ..."
        if (const size_t close = why.find("] "); why.starts_with("[json.") && close != std::string::npos)
            why.erase(0, close + 2);
        return prefix + "not JSON: " + why;
    }
    if (!j.is_object())
        return prefix + "not a setup (no JSON object)";
    if (!twice.empty())
        return prefix + twice + ": given twice";

    const auto format = j.find("format");
    if (format == j.end() || !format->is_string() || format->get<std::string>() != kSetupFormat)
        return prefix + "format: not a " + kSetupFormat + " file";
    const auto version = j.find("version");
    if (version == j.end())
        return prefix + "version: missing";
    if (!version->is_number_integer() || version->get<int64_t>() != kSetupVersion)
        return prefix + "version: " + version->dump() + " is not a version this program reads (" +
               std::to_string(kSetupVersion) + ")";
    const auto station_key = j.find("station");
    if (station_key == j.end() || !station_key->is_string())
        return prefix + "station: missing";
    station = station_key->get<std::string>();
    return {};
}

}  // namespace

Station_setup::Station_setup(Setup_schema schema) : schema_(std::move(schema))
{
    values_.reserve(schema_.keys.size());
    for (const Setup_key &k : schema_.keys)
        values_.push_back(k.fallback);
}

size_t Station_setup::index_of(std::string_view key) const
{
    for (size_t i = 0; i < schema_.keys.size(); ++i)
        if (schema_.keys[i].name == key)
            return i;
    throw std::out_of_range("no setup key " + std::string(key));
}

bool Station_setup::flag(std::string_view key) const { return std::get<bool>(values_[index_of(key)]); }
int64_t Station_setup::integer(std::string_view key) const { return std::get<int64_t>(values_[index_of(key)]); }
double Station_setup::number(std::string_view key) const { return std::get<double>(values_[index_of(key)]); }
const std::string &Station_setup::text(std::string_view key) const
{
    return std::get<std::string>(values_[index_of(key)]);
}
const Setup_texts &Station_setup::texts(std::string_view key) const
{
    return std::get<Setup_texts>(values_[index_of(key)]);
}

std::string Station_setup::set(std::string_view key, Setup_value value)
{
    for (size_t i = 0; i < schema_.keys.size(); ++i) {
        if (schema_.keys[i].name != key)
            continue;
        if (std::string why = check(schema_.keys[i], value); !why.empty())
            return std::string(key) + ": " + why;
        values_[i] = std::move(value);
        return {};
    }
    return std::string(key) + ": unknown key";
}

std::string Station_setup::to_json() const
{
    Json j = Json::object();
    j["format"] = kSetupFormat;
    j["version"] = kSetupVersion;
    j["station"] = schema_.kind;
    for (size_t i = 0; i < schema_.keys.size(); ++i)
        j[schema_.keys[i].name] = to_json_value(values_[i]);
    // Texts that are not UTF-8 (set by a caller) get U+FFFD rather than
    // making the file unwritable.
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string Station_setup::from_json(std::string_view text, std::string_view label)
{
    const std::string prefix = std::string(label) + ": ";
    Json j;
    std::string station;
    if (std::string problem = parse_head(text, prefix, j, station); !problem.empty())
        return problem;
    if (station != schema_.kind)
        return prefix + "station: a setup of " + station + ", not of " + schema_.kind;

    std::vector<Setup_value> values = values_;
    std::vector<bool> given(schema_.keys.size(), false);
    for (const auto &[key, value] : j.items()) {
        if (key == "format" || key == "version" || key == "station")
            continue;
        size_t i = 0;
        while (i < schema_.keys.size() && schema_.keys[i].name != key)
            ++i;
        if (i == schema_.keys.size())
            return prefix + key + ": unknown key";
        if (std::string why = from_json_value(schema_.keys[i], value, values[i]); !why.empty())
            return prefix + key + ": " + why;
        given[i] = true;
    }
    // Keys left out take their defaults, not what was there before.
    for (size_t i = 0; i < values.size(); ++i)
        if (!given[i])
            values[i] = schema_.keys[i].fallback;
    values_ = std::move(values);
    return {};
}

std::string Station_setup::save(const std::string &path) const
{
    Replaced_file file(path);
    file.write(to_json());
    if (const int error = file.commit(); error != 0)
        return file_label(path) + ": " + std::strerror(error);
    return {};
}

std::string Station_setup::open(const std::string &path)
{
    std::string text;
    if (std::string problem = read_small_file(path, kSetupMaxBytes, text); !problem.empty())
        return file_label(path) + ": " + problem;
    return from_json(text, file_label(path));
}

std::string setup_file_station(const std::string &path, std::string &station)
{
    std::string text;
    if (std::string problem = read_small_file(path, kSetupMaxBytes, text); !problem.empty())
        return file_label(path) + ": " + problem;
    Json j;
    return parse_head(text, file_label(path) + ": ", j, station);
}

std::string setup_relative_path(const std::string &path, const std::string &setup_path)
{
    if (path.empty())
        return {};
    const fs::path target = absolute_normal(path);
    const fs::path folder = absolute_normal(setup_path).parent_path();
    // Only a path that shares a folder below the root with the setup is
    // kept relative: the two then move together (a project's folder).
    auto t = target.begin(), f = folder.begin();
    if (t == target.end() || f == folder.end() || *t != *f)
        return target.string();
    ++t, ++f;
    if (t == target.end() || f == folder.end() || *t != *f)
        return target.string();
    return target.lexically_relative(folder).string();
}

std::string setup_resolved_path(const std::string &stored, const std::string &setup_path)
{
    if (stored.empty())
        return {};
    const fs::path p(stored);
    if (p.is_absolute())
        return p.lexically_normal().string();
    return (absolute_normal(setup_path).parent_path() / p).lexically_normal().string();
}
