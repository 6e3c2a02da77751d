#include "Slave_tcp.h"

TSLTCP_Form::TSLTCP_Form(QWidget *parent) : QWidget(parent) {}
