// The Slave ASCII station: serves ASCII requests (':' through LF) on a serial
// port from its four tables.
#pragma once

#include "Slave_receivers.h"
#include "Slave_station.h"

class TSLASC_Form : public SerialSlaveForm {
    Q_OBJECT
public:
    explicit TSLASC_Form(QWidget *parent = nullptr);

    // Serves the request collected in RxBuffer.
    void ProcessRequest();

    SlaveAsciiReceiver rx;  // RxState, RxBuffer, RxLength, RxStartTime, RxTimeout

public slots:
    void Timer1Timer() override;
};
