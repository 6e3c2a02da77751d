// The Slave RTU station: serves RTU requests on a serial port from its four
// tables. A request is every byte up to a 20 ms silence on the local clock.
#pragma once

#include "Slave_receivers.h"
#include "Slave_station.h"

class TSLRTU_Form : public SerialSlaveForm {
    Q_OBJECT
public:
    explicit TSLRTU_Form(QWidget *parent = nullptr);

    // Copies the used port's entry into the current settings, sets RxGap and the label.
    void UpdatePortLabel() override;
    // Serves the request collected in RxBuffer.
    void ProcessRequest();

    SlaveRtuReceiver rx;  // RxState, RxBuffer, RxLength, RxLastTime, RxGap

public slots:
    void Timer1Timer() override;
};
