#include "Slave_ascii.h"

#include "Gui_services.h"
#include "Notices.h"

TSLASC_Form::TSLASC_Form(QWidget *parent)
    : SerialSlaveForm("Modbus ASCII Slave Server Simulation Program", kSlaveAsciiProfile, SlaveAscii, 2, 'O', 7,
                      parent)
{
    setObjectName("SLASC_Form");
    resize(720, 388);
}

void TSLASC_Form::Timer1Timer()
{
    if (listenTick())
        return;
    SerialReceiverHooks hooks;
    hooks.process = [this](const uint8_t *, int32_t) { ProcessRequest(); };
    hooks.logMemo1 = [this](const std::string &text) { receiverLine(text); };
    hooks.dropped = [this](const uint8_t *data, int32_t n) { requestDropped(data, n); };
    rx.tick(link(), ports.usedPort, hooks);
}

void TSLASC_Form::ProcessRequest() { serveSerial(rx.RxBuffer, rx.RxLength); }
