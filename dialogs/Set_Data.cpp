#include "Set_Data.h"

TSet_DataDlg *Set_DataDlg = nullptr;

TSet_DataDlg::TSet_DataDlg(QWidget *parent) : QDialog(parent) {}
int TSet_DataDlg::AskDataValue(uint16_t, uint16_t, uint16_t, uint16_t &) { return -1; }
