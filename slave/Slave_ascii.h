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
    // The 11-character exception response to the request in RxBuffer, logged in Memo2.
    void BuildException(int function, uint8_t code, int32_t &length, uint8_t *TxBuffer, const uint8_t *RxBuffer);
    bool ReceiveTimedOut(int16_t start, int16_t timeout) const { return rx.ReceiveTimedOut(start, timeout); }

    SlaveAsciiReceiver rx;  // RxState, RxBuffer, RxLength, RxStartTime, RxTimeout

public slots:
    void Timer1Timer() override;
};
