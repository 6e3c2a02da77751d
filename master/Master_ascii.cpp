#include "Master_ascii.h"

TMSASC_Form::TMSASC_Form(QWidget *parent) : QWidget(parent) {}
