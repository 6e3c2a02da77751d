#include "Slave_ascii.h"

#include <cstring>

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
    SerialReceiverHooks hooks;
    hooks.process = [this](const uint8_t *, int32_t) { ProcessRequest(); };
    hooks.logMemo1 = [this](const std::string &text) { memoAdd(Memo1, text); };
    rx.tick(link(), ports.usedPort, hooks);
}

void TSLASC_Form::ProcessRequest() { serveSerial(rx.RxBuffer, rx.RxLength); }

void TSLASC_Form::BuildException(int function, uint8_t code, int32_t &length, uint8_t *TxBuffer,
                                 const uint8_t *RxBuffer)
{
    const size_t n = strnlen(reinterpret_cast<const char *>(RxBuffer), size_t(kRxBufferSize));
    const auto e = build_slave_exception(profile, RxBuffer, n, unsigned(function), code);
    std::memcpy(TxBuffer, e.data(), e.size());
    length = int32_t(e.size());
    memoAdd(Memo2, profile.exceptionCaption + std::string(e.begin(), e.end()));
}
