// The slave value dialog.
#pragma once

#include <QDialog>
#include <cstdint>

class TSet_ValueDlg : public QDialog {
    Q_OBJECT
public:
    explicit TSet_ValueDlg(QWidget *parent = nullptr);
    // kind 1 coil, 2 input relay, 3 holding register, 4 input register;
    // mode 0 decimal, else hexadecimal. 0 on OK with value set, -1 otherwise.
    int EditTableValue(int16_t kind, uint16_t index, uint16_t mode, uint16_t &value);
};

extern TSet_ValueDlg *Set_ValueDlg;
