// The Master RTU station: reads and writes a device over a serial line with
// RTU framing (binary frames closed by a CRC-16, an answer ended by 100 ms of
// silence).
#pragma once

#include "Master_receive.h"
#include "Serial_master.h"

class TMSRTU_Form : public SerialMasterWindow {
    Q_OBJECT
public:
    explicit TMSRTU_Form(QWidget *parent = nullptr);

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
        recordAnswer(receiver_.data(), receiver_.length());
        return receiver_.checkAnswer();
    }
    void showAnswer() override;
    std::vector<uint8_t> answerBytes() const override;
    std::string overflowText() const override;
    std::string_view heldAnswer() const override
    {
        return {reinterpret_cast<const char *>(receiver_.data()), size_t(receiver_.length())};
    }
    FastReceiving &fastReceiver() override { return receiver_; }
    // "1 2" in a field is 12 here: the mask's blanks are passed over.
    long readRequestField(const QLineEdit *field) const override { return read_decimal_field_ignoring_blanks(field); }

private:
    uint8_t query_[512] = {0};
    int32_t length_ = 0;  // the request's length, then the checked answer's
    RtuReceiver receiver_;
};
