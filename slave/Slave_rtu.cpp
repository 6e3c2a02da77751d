#include "Slave_rtu.h"

#include "Gui_services.h"
#include "Notices.h"

TSLRTU_Form::TSLRTU_Form(QWidget *parent)
    : SerialSlaveForm("Modbus RTU Slave Server Simulation Program", kSlaveRtuProfile, SlaveRtu, 1, 'N', 8, parent)
{
    setObjectName("SLRTU_Form");
    resize(716, 375);
    TSLRTU_Form::UpdatePortLabel();
}

void TSLRTU_Form::UpdatePortLabel()
{
    SerialSlaveForm::UpdatePortLabel();
    rx.RxGap = 20;
}

void TSLRTU_Form::Timer1Timer()
{
    if (listenTick())
        return;
    SerialReceiverHooks hooks;
    hooks.process = [this](const uint8_t *, int32_t) { ProcessRequest(); };
    hooks.logMemo1 = [this](const std::string &text) { receiverLine(text); };
    hooks.dropped = [this](const uint8_t *data, int32_t n) { requestDropped(data, n); };
    rx.tick(link(), ports.usedPort, hooks);
}

void TSLRTU_Form::ProcessRequest() { serveSerial(rx.RxBuffer, rx.RxLength); }
