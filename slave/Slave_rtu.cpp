#include "Slave_rtu.h"

#include <cstring>

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
    SerialReceiverHooks hooks;
    hooks.process = [this](const uint8_t *, int32_t) { ProcessRequest(); };
    hooks.logMemo1 = [this](const std::string &text) { memoAdd(Memo1, text); };
    rx.tick(link(), ports.usedPort, hooks);
}

void TSLRTU_Form::ProcessRequest() { serveSerial(rx.RxBuffer, rx.RxLength); }

void TSLRTU_Form::BuildException(int function, uint8_t code, int32_t &length, uint8_t *TxBuffer,
                                 const uint8_t *RxBuffer)
{
    const auto e = build_slave_exception(profile, RxBuffer, size_t(kRxBufferSize), unsigned(function), code);
    std::memcpy(TxBuffer, e.data(), e.size());
    length = int32_t(e.size());
    memoAdd(Memo2, profile.exceptionCaption + slave_hex_bytes(e.data(), e.size()));
}
