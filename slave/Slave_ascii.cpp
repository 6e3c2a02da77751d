#include "Slave_ascii.h"

TSLASC_Form::TSLASC_Form(QWidget *parent) : QWidget(parent) {}
