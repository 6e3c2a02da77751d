// One value typed into a framed box with OK and Cancel, checked when OK is
// pressed: a text that cannot be read is refused with a box naming the
// problem and the dialog stays open, so the operator corrects it in place.
// The dialogs that ask for one value in a format build on this and say only
// how their text is read.
#pragma once

#include <QDialog>
#include <string>

#include "Value_format.h"

class QLabel;
class QLineEdit;
class QPushButton;

class TValueEntryDlg : public QDialog {
    Q_OBJECT
public:
    QLabel *Label1;
    QLineEdit *Edit1;
    QLabel *Label2;
    QPushButton *OKBtn;
    QPushButton *CancelBtn;

protected:
    // extra_line_name: a third label under the value, spanning the box, is
    // made with this objectName and kept in extraLine_; nullptr for none.
    TValueEntryDlg(QWidget *parent, const char *extra_line_name);

    // Shows current for editing, modally; 0 on OK with value holding what
    // read() gave, -1 otherwise.
    int ask(const QString &current, EncodedValue &value);

    // Reads the typed text; when it cannot, the box's text is
    // refusal(text, result).
    virtual EncodedValue read(const std::string &text) const = 0;
    virtual std::string refusal(const std::string &text, const EncodedValue &result) const = 0;

    void done(int result) override;

    QLabel *extraLine_ = nullptr;

private:
    EncodedValue value_;
};
