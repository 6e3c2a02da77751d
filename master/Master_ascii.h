// The Master ASCII station: reads and writes a device over a serial line with
// ASCII framing (":", hexadecimal pairs, LRC, CR LF).
#pragma once

#include "Master_receive.h"
#include "Serial_master.h"

class TMSASC_Form : public SerialMasterWindow {
    Q_OBJECT
public:
    explicit TMSASC_Form(QWidget *parent = nullptr);

public slots:
    void FormCreate();

protected:
    int32_t prepareQuery(uint32_t function, uint16_t device, uint16_t address, uint16_t count,
                         uint16_t value) override;
    int32_t prepareBlock(const WriteJob &job) override;
    void SendQuery() override;
    void restartReceive() override { receiver_.restart(); }
    ReceiveEvent tickReceiver() override { return receiver_.tick(*link_, ports_.usedPort); }
    AnswerCheck checkAnswer() override
    {
        // Recorded as received: the check upper-cases the text in place.
        recordAnswer(receiver_.data(), receiver_.length());
        return receiver_.checkAnswer();
    }
    void showAnswer() override;
    std::vector<uint8_t> answerBytes() const override;
    std::string overflowText() const override;
    std::string_view heldAnswer() const override { return {receiver_.data(), size_t(receiver_.length())}; }
    FastReceiving &fastReceiver() override { return receiver_; }

private:
    char query_[512] = {0};
    int32_t length_ = 0;
    AsciiReceiver receiver_;
};
