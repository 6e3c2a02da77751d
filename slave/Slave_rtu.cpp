#include "Slave_rtu.h"

TSLRTU_Form::TSLRTU_Form(QWidget *parent) : QWidget(parent) {}
