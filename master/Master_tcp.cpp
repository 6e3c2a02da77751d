#include "Master_tcp.h"

TMSTCP_Form::TMSTCP_Form(QWidget *parent) : QWidget(parent) {}
