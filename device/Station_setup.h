// A station's setup: everything its controls hold, as named values, kept in
// a JSON file (.qsetup) that people put under version control:
//
//   {
//     "format": "quillan-setup",
//     "version": 1,
//     "station": "Master TCP",
//     "host": "127.0.0.1",
//     "port": 502,
//     ...
//   }
//
// Each station describes its keys once in a schema: name, default (whose
// type is the key's type: true/false, whole number, number, text or list of
// texts) and the values it takes. A setup holds a value for every key of its
// schema; keys that a file leaves out keep their defaults. Opening is all or
// nothing: the first bad key is named ("master.qsetup: port: must be a whole
// number from 1 to 65535") and the setup stays as it was. A setup of another
// station is refused, naming both ("station: a setup of Slave TCP, not of
// Master TCP"). Keys the schema does not know are refused too, so that a
// typing error in a hand-edited file is not silently ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

inline constexpr const char *kSetupFormat = "quillan-setup";
inline constexpr int kSetupVersion = 1;
inline constexpr size_t kSetupMaxBytes = 1 << 20;

using Setup_texts = std::vector<std::string>;
using Setup_value = std::variant<bool, int64_t, double, std::string, Setup_texts>;

struct Setup_key {
    std::string name{};  // not "format", "version" or "station"
    Setup_value fallback{};
    // Whole numbers and numbers: the range taken.
    double low = std::numeric_limits<double>::lowest();
    double high = std::numeric_limits<double>::max();
    // Texts: the only ones taken, when any are given.
    std::vector<std::string> choices{};
    // Texts and each text of a list: at most this many bytes.
    size_t max_length = 4096;
    // Lists: at most this many texts.
    size_t max_items = 1024;
};

struct Setup_schema {
    std::string kind;  // the station, as "Master TCP"
    std::vector<Setup_key> keys;
};

class Station_setup {
public:
    // Every key at its default.
    explicit Station_setup(Setup_schema schema);

    const std::string &kind() const { return schema_.kind; }
    const Setup_schema &schema() const { return schema_; }

    // The key's value. Asking for a key the schema lacks, or for another
    // type than its default's, is a programming error: it throws.
    bool flag(std::string_view key) const;
    int64_t integer(std::string_view key) const;
    double number(std::string_view key) const;
    const std::string &text(std::string_view key) const;
    const Setup_texts &texts(std::string_view key) const;

    // Sets the key's value and returns "", or returns why not (a key the
    // schema lacks, another type, a value it does not take) and changes
    // nothing.
    std::string set(std::string_view key, Setup_value value);

    // The file's text: format, version and station first, then every key in
    // the schema's order; two-space indent, LF line ends.
    std::string to_json() const;
    // Takes the values text holds, or leaves every value as it was and
    // returns why not, as "LABEL: KEY: REASON".
    std::string from_json(std::string_view text, std::string_view label);

    // The same through a file (at most kSetupMaxBytes, a regular file),
    // named by its last path component in messages. Saving replaces the
    // file only once the new one is whole. Both return "" or the reason.
    std::string save(const std::string &path) const;
    std::string open(const std::string &path);

private:
    size_t index_of(std::string_view key) const;  // throws for a key the schema lacks

    Setup_schema schema_;
    std::vector<Setup_value> values_;  // parallel to schema_.keys
};

// The station a setup file is for, read before knowing its schema: returns
// "" with station set, or the reason, as open() words it ("plc.qsetup:
// format: not a quillan-setup file").
std::string setup_file_station(const std::string &path, std::string &station);

// A path as a setup keeps it (a map's): relative to the folder of the setup
// file when the two share a folder below the root ("../maps/pump.csv"),
// else absolute. Relative paths given are taken from the working folder.
std::string setup_relative_path(const std::string &path, const std::string &setup_path);
// A path read from the setup file at setup_path: a relative one is taken
// from that file's folder.
std::string setup_resolved_path(const std::string &stored, const std::string &setup_path);
