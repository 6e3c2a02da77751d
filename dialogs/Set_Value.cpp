#include "Set_Value.h"

TSet_ValueDlg *Set_ValueDlg = nullptr;

TSet_ValueDlg::TSet_ValueDlg(QWidget *parent) : QDialog(parent) {}
int TSet_ValueDlg::EditTableValue(int16_t, uint16_t, uint16_t, uint16_t &) { return -1; }
