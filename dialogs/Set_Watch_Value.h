// The Watch page's write dialog: one value of a map entry typed in its
// engineering units, checked against the entry's format, scale and offset.
// A value that cannot be written is refused with a box naming the problem
// (the range in engineering units when it lies outside) and the dialog stays
// open. It never writes itself: the caller sends the words it gives.
#pragma once

#include <QDialog>

#include "Device_map.h"
#include "Value_format.h"

class QLabel;
class QLineEdit;
class QPushButton;

class TSet_WatchValueDlg : public QDialog {
    Q_OBJECT
public:
    explicit TSet_WatchValueDlg(QWidget *parent = nullptr);

    // current: the value shown now, offered for editing. Shows the dialog
    // modally; 0 on OK with value holding the words to write, -1 otherwise.
    int AskEngineeringValue(const Map_entry &entry, const QString &current, EncodedValue &value);

    QLabel *Label1;  // the entry's name and address
    QLineEdit *Edit1;
    QLabel *Label2;  // its unit
    QLabel *Label3;  // its format and range
    QPushButton *OKBtn;
    QPushButton *CancelBtn;

protected:
    void done(int result) override;

private:
    Map_entry entry_;
    EncodedValue value_;
};
