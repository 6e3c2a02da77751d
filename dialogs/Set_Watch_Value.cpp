#include "Set_Watch_Value.h"

#include <QLabel>

#include "Engineering_value.h"

TSet_WatchValueDlg::TSet_WatchValueDlg(QWidget *parent) : TValueEntryDlg(parent, "Label3")
{
    setObjectName("Set_WatchValueDlg");
    setWindowTitle("Write Value");
    Label3 = extraLine_;
}

int TSet_WatchValueDlg::AskEngineeringValue(const Map_entry &entry, const QString &current, EncodedValue &value)
{
    entry_ = entry;
    Label1->setText(QString::fromStdString(entry.name + "  (" + entry.address() + ", device " +
                                           std::to_string(entry.device) + ")"));
    Label2->setText(QString::fromStdString(entry.unit));
    const Engineering_range range = engineering_range(entry);
    Label3->setText(QString::fromStdString(entry.format_text() + ": " + engineering_text(entry, range.low) + " to " +
                                           engineering_text(entry, range.high)));
    return ask(current, value);
}

EncodedValue TSet_WatchValueDlg::read(const std::string &text) const
{
    return encode_engineering_text(entry_, text);
}

std::string TSet_WatchValueDlg::refusal(const std::string &text, const EncodedValue &result) const
{
    return entry_.name + ": " + text + ": " + result.error;
}
