// The Watch page's write dialog: one value of a map entry typed in its
// engineering units, checked against the entry's format, scale and offset.
// A value that cannot be written is refused with a box naming the problem
// (the range in engineering units when it lies outside) and the dialog stays
// open. It never writes itself: the caller sends the words it gives.
#pragma once

#include "Device_map.h"
#include "Value_entry.h"

class TSet_WatchValueDlg : public TValueEntryDlg {
    Q_OBJECT
public:
    explicit TSet_WatchValueDlg(QWidget *parent = nullptr);

    // current: the value shown now, offered for editing. Shows the dialog
    // modally; 0 on OK with value holding the words to write, -1 otherwise.
    int AskEngineeringValue(const Map_entry &entry, const QString &current, EncodedValue &value);

    // Label1 the entry's name and address, Label2 its unit, and this its
    // format and range.
    QLabel *Label3;

protected:
    EncodedValue read(const std::string &text) const override;
    std::string refusal(const std::string &text, const EncodedValue &result) const override;

private:
    Map_entry entry_;
};
