// The master write-value dialog: asks for the value of one output coil
// ("Off"/"On") or one holding register (decimal or hexadecimal text).
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "Value_format.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TSet_DataDlg : public QDialog {
    Q_OBJECT
public:
    explicit TSet_DataDlg(QWidget *parent = nullptr);
    // function 5 (coil) or 6 (register); address as the operator counts it;
    // mode 0 decimal, else hexadecimal (registers only).
    // 0 on OK with value set, -1 otherwise (value untouched).
    int AskDataValue(uint16_t function, uint16_t address, uint16_t mode, uint16_t &value);

    // A 32/64-bit value of a holding-register group starting at address, typed
    // in format; current is the text offered. 0 on OK with value set (its
    // words and count), -1 otherwise (value untouched).
    int AskFormattedValue(uint16_t address, ValueFormat format, const std::string &current, EncodedValue &value);

    // Refuses to close while the last OK found bad input.
    void done(int result) override;

public slots:
    void OKBtnClick();
    // true when the dialog may close; clears the keep-open flag.
    bool FormClose();
    void FormActivate();

protected:
    void showEvent(QShowEvent *event) override;

private:
    uint16_t function_ = 6;
    uint16_t address_ = 0;
    uint16_t value_ = 0;
    uint16_t mode_ = 0;
    bool keepOpen_ = false;
    // Set while AskFormattedValue runs: the field holds a value in format_.
    bool formatted_ = false;
    ValueFormat format_ = ValueFormat::Signed;
    EncodedValue encoded_;

    QLabel *Label1, *Label2;
    QLineEdit *Edit1;
    QComboBox *ComboBox1;
    QPushButton *OKBtn, *CancelBtn;
};

// The one instance shared by the master stations (made at start-up).
extern TSet_DataDlg *Set_DataDlg;
// Set_DataDlg, made on first use when start-up has not made it.
TSet_DataDlg *set_data_dialog();
