// The master write-value dialog.
#pragma once

#include <QDialog>
#include <cstdint>

class TSet_DataDlg : public QDialog {
    Q_OBJECT
public:
    explicit TSet_DataDlg(QWidget *parent = nullptr);
    // function 5 (coil) or 6 (register); mode 0 decimal, else hexadecimal.
    // 0 on OK with value set, -1 otherwise (value untouched).
    int AskDataValue(uint16_t function, uint16_t address, uint16_t mode, uint16_t &value);
};

extern TSet_DataDlg *Set_DataDlg;
