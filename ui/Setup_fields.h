// What ties a station window to its setup file (.qsetup): each control the
// setup holds is bound once, by the key it is saved under, right where the
// window makes it:
//
//   setupFields().add_spin("delay_ms", DelayMs);
//
// The window's schema, the setup it saves and the opening of one all come
// from these bindings, so a new control adds one line and nothing else. A
// key's default is what its control holds when it is bound, which is why a
// window binds its controls once they show their starting values.
#pragma once

#include <QString>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Station_setup.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;
class QWidget;

// One control's key: what the control holds now, how a value is shown in
// it, and, where the key's type and range cannot say it all, whether a value
// suits the window as it stands ("" or the reason).
//
// A key that holds a file's path (a map's) is kept relative to the setup
// file where it can be (setup_relative_path): read and write see it
// absolute, and check sees it so too, before anything is shown.
struct Setup_field {
    Setup_key key;
    std::function<Setup_value()> read;
    std::function<void(const Setup_value &)> write;
    std::function<std::string(const Setup_value &)> check{};
    bool file_path = false;
};

class Setup_fields {
public:
    // kind: the station, as setup_station_name() names it.
    explicit Setup_fields(std::string kind) : kind_(std::move(kind)) {}

    // Binds a key (a name bound twice, or "format", "version" or "station",
    // is a programming error: it throws); its default is field.read() now.
    void add(Setup_field field);
    // The usual controls: a spin box (its range), a check box, a drop-down
    // (its item texts; check, when given, as Setup_field's), a line of text
    // (its length) and a masked field of digits (as many as its mask, read
    // with reader).
    void add_spin(const char *name, QSpinBox *box);
    void add_check(const char *name, QCheckBox *box);
    void add_choice(const char *name, QComboBox *box,
                    std::function<std::string(const Setup_value &)> check = {});
    void add_text(const char *name, QLineEdit *edit);
    void add_digits(const char *name, QLineEdit *edit, std::function<long()> reader);

    Setup_schema schema() const;
    // The controls' values, or why not (a control holding what its key
    // refuses, which a binding should never allow). setupPath: the file
    // the setup goes to, which file paths are kept relative to.
    std::string collect(Station_setup &out, const std::string &setupPath = {}) const;
    // Shows the setup's values in the controls, or changes nothing and
    // returns why not as "KEY: REASON". setupPath: the file the setup came
    // from, which relative file paths are taken from.
    std::string apply(const Station_setup &setup, const std::string &setupPath = {}) const;

private:
    std::string kind_;
    std::vector<Setup_field> fields_;
};

// The stations' names in setups, by StationKind ("Master RTU" ... "Slave TCP").
const char *setup_station_name(int stationKind);
// The StationKind of a name, or -1.
int setup_station_kind(std::string_view name);

// Asks the operator for the setup file to open (save false) or save to;
// empty when cancelled. The program asks with a file dialog; tests install
// an answer.
using SetupFileAsker = std::function<QString(QWidget *parent, bool save)>;
void set_setup_file_asker(SetupFileAsker asker);  // empty: the file dialog
QString ask_setup_file(QWidget *parent, bool save);

// "Save setup…" and "Open setup…" once the file is chosen: a failure is told
// in one box, and opening changes nothing then. True when done.
bool save_setup_file(const Setup_fields &fields, const QString &path);
bool open_setup_file(const Setup_fields &fields, const QString &path);
