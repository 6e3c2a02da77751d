#include "Master_rtu.h"

TMSRTU_Form::TMSRTU_Form(QWidget *parent) : QWidget(parent) {}
