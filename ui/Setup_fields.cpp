#include "Setup_fields.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QSpinBox>
#include <stdexcept>

#include "Notices.h"

namespace {

const char *const kStationNames[] = {"Master RTU", "Master ASCII", "Master TCP",
                                     "Slave RTU",  "Slave ASCII",  "Slave TCP"};

SetupFileAsker g_asker;

QString ask_with_dialog(QWidget *parent, bool save)
{
    const QString filter = QStringLiteral("Quillan setups (*.qsetup);;All files (*)");
    if (save) {
        QString name = QFileDialog::getSaveFileName(parent, QStringLiteral("Save setup"), QString(), filter);
        if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty())
            name += QStringLiteral(".qsetup");
        return name;
    }
    return QFileDialog::getOpenFileName(parent, QStringLiteral("Open setup"), QString(), filter);
}

std::string label_of(const QString &path) { return QFileInfo(path).fileName().toStdString(); }

}  // namespace

void Setup_fields::add(Setup_field field)
{
    const std::string &name = field.key.name;
    if (name == "format" || name == "version" || name == "station")
        throw std::logic_error("setup key " + name + " is the file's own");
    for (const Setup_field &f : fields_)
        if (f.key.name == name)
            throw std::logic_error("setup key " + name + " bound twice");
    field.key.fallback = field.read();
    fields_.push_back(std::move(field));
}

void Setup_fields::add_spin(const char *name, QSpinBox *box)
{
    add({.key = {.name = name, .low = double(box->minimum()), .high = double(box->maximum())},
         .read = [box] { return Setup_value(int64_t(box->value())); },
         .write = [box](const Setup_value &v) { box->setValue(int(std::get<int64_t>(v))); }});
}

void Setup_fields::add_check(const char *name, QCheckBox *box)
{
    add({.key = {.name = name},
         .read = [box] { return Setup_value(box->isChecked()); },
         .write = [box](const Setup_value &v) { box->setChecked(std::get<bool>(v)); }});
}

void Setup_fields::add_choice(const char *name, QComboBox *box, std::function<std::string(const Setup_value &)> check)
{
    Setup_key key{.name = name};
    for (int i = 0; i < box->count(); ++i)
        key.choices.push_back(box->itemText(i).toStdString());
    add({.key = std::move(key),
         .read = [box] { return Setup_value(box->currentText().toStdString()); },
         .write = [box](const Setup_value &v) {
             const QString text = QString::fromStdString(std::get<std::string>(v));
             box->setCurrentIndex(box->findText(text, Qt::MatchExactly));
         },
         .check = std::move(check)});
}

void Setup_fields::add_text(const char *name, QLineEdit *edit)
{
    add({.key = {.name = name, .max_length = size_t(edit->maxLength())},
         .read = [edit] { return Setup_value(edit->text().toStdString()); },
         .write = [edit](const Setup_value &v) {
             edit->setText(QString::fromStdString(std::get<std::string>(v)));
         }});
}

void Setup_fields::add_digits(const char *name, QLineEdit *edit, std::function<long()> reader)
{
    // The mask's places ("0000;_") bound the number the field can hold.
    const qsizetype places = edit->inputMask().section(QLatin1Char(';'), 0, 0).size();
    double high = 0;
    for (qsizetype i = 0; i < places; ++i)
        high = high * 10 + 9;
    add({.key = {.name = name, .low = 0, .high = high},
         .read = [reader = std::move(reader)] { return Setup_value(int64_t(reader())); },
         .write = [edit](const Setup_value &v) { edit->setText(QString::number(std::get<int64_t>(v))); }});
}

Setup_schema Setup_fields::schema() const
{
    Setup_schema s{.kind = kind_, .keys = {}};
    for (const Setup_field &f : fields_)
        s.keys.push_back(f.key);
    return s;
}

std::string Setup_fields::collect(Station_setup &out, const std::string &setupPath) const
{
    for (const Setup_field &f : fields_) {
        Setup_value v = f.read();
        if (f.file_path)
            v = setup_relative_path(std::get<std::string>(v), setupPath);
        if (std::string why = out.set(f.key.name, std::move(v)); !why.empty())
            return why;
    }
    return {};
}

std::string Setup_fields::apply(const Station_setup &setup, const std::string &setupPath) const
{
    std::vector<Setup_value> values;
    values.reserve(fields_.size());
    // Every value is read and checked before the first is shown.
    for (const Setup_field &f : fields_) {
        Setup_value v;
        switch (f.key.fallback.index()) {
        case 0: v = setup.flag(f.key.name); break;
        case 1: v = setup.integer(f.key.name); break;
        case 2: v = setup.number(f.key.name); break;
        case 3: v = setup.text(f.key.name); break;
        default: v = setup.texts(f.key.name); break;
        }
        if (f.file_path)
            v = setup_resolved_path(std::get<std::string>(v), setupPath);
        // A check may depend on the checks before it (a map's entries,
        // which later keys name): the fields are checked in their order.
        if (f.check)
            if (std::string why = f.check(v); !why.empty())
                return f.key.name + ": " + why;
        values.push_back(std::move(v));
    }
    for (size_t i = 0; i < fields_.size(); ++i)
        fields_[i].write(values[i]);
    return {};
}

const char *setup_station_name(int stationKind)
{
    return stationKind >= 0 && stationKind < int(std::size(kStationNames)) ? kStationNames[stationKind] : "";
}

int setup_station_kind(std::string_view name)
{
    for (int i = 0; i < int(std::size(kStationNames)); ++i)
        if (name == kStationNames[i])
            return i;
    return -1;
}

void set_setup_file_asker(SetupFileAsker asker) { g_asker = std::move(asker); }

QString ask_setup_file(QWidget *parent, bool save)
{
    return g_asker ? g_asker(parent, save) : ask_with_dialog(parent, save);
}

bool save_setup_file(const Setup_fields &fields, const QString &path)
{
    Station_setup setup(fields.schema());
    std::string problem = fields.collect(setup, QFile::encodeName(path).toStdString());
    if (problem.empty())
        problem = setup.save(path.toStdString());
    else
        problem = label_of(path) + ": " + problem;
    if (!problem.empty()) {
        show_message_box("Setup not saved: " + problem, "Quillan");
        return false;
    }
    return true;
}

bool open_setup_file(const Setup_fields &fields, const QString &path)
{
    Station_setup setup(fields.schema());
    std::string problem = setup.open(path.toStdString());
    if (problem.empty())
        if (std::string why = fields.apply(setup, QFile::encodeName(path).toStdString()); !why.empty())
            problem = label_of(path) + ": " + why;
    if (!problem.empty()) {
        show_message_box("Setup not opened: " + problem, "Quillan");
        return false;
    }
    return true;
}
