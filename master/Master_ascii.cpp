#include "Master_ascii.h"
#include "Strformat.h"

#include <QPushButton>
#include <cstring>

#include "Answer_code.h"
#include "Hex_digit.h"
#include "Master_grid.h"
#include "Query.h"

TMSASC_Form::TMSASC_Form(QWidget *parent)
    : SerialMasterWindow("Modbus master ASCII type protocol", "Modbus Master ASCII Utility Program", kAsciiLimits,
                         3, MasterAscii, parent)
{
    setObjectName("MSASC_Form");
    FormCreate();
}

void TMSASC_Form::FormCreate()
{
    ComboBox1->setCurrentIndex(0);
    CheckRequestFields();
    setUpPorts(2, 9600, 'O', 7, 1);
}

int32_t TMSASC_Form::prepareQuery(uint32_t function, uint16_t device, uint16_t address, uint16_t count,
                                  uint16_t value)
{
    length_ = 0;
    std::memset(query_, 0, sizeof query_);
    return prepare_ascii_query(function, device, address, count, value, &length_, query_);
}

int32_t TMSASC_Form::prepareBlock(const WriteJob &job)
{
    length_ = 0;
    std::memset(query_, 0, sizeof query_);
    if (job.function == 15)
        return prepare_ascii_write_coils(job.device, job.address, uint16_t(job.bits.size()), job.bits.data(), &length_,
                                      query_);
    return prepare_ascii_write_registers(job.device, job.address, uint16_t(job.words.size()), job.words.data(), &length_,
                                      query_);
}

void TMSASC_Form::SendQuery()
{
    // The frame is text already; its CR LF ends the memo line.
    const int32_t shown = length_ >= 2 ? length_ - 2 : 0;
    Memo1->clear();
    Memo1->add("Query message: " + std::string(query_, size_t(shown)));
    sendRequest(query_, length_);
}

void TMSASC_Form::showAnswer()
{
    show_ascii_response(*StringGrid1, receiver_.data(), receiver_.length(), request_.count, write_.row, write_.col,
                        write_.value);
    answerShown(ascii_answer_code(receiver_.data(), receiver_.length()), responseMs());
}

std::vector<uint8_t> TMSASC_Form::answerBytes() const
{
    // The pairs between ":" and the LRC; a pair that is not hexadecimal
    // makes it no answer at all.
    const char *frame = receiver_.data();
    const int32_t lrc = receiver_.length() - 4;  // LRC, CR, LF close the frame
    std::vector<uint8_t> bytes;
    for (int32_t i = 1; i + 1 < lrc; i += 2) {
        const int hi = hex_digit(uint8_t(frame[i])), lo = hex_digit(uint8_t(frame[i + 1]));
        if (hi < 0 || lo < 0)
            return {};
        bytes.push_back(uint8_t(hi << 4 | lo));
    }
    return bytes;
}

std::string TMSASC_Form::overflowText() const
{
    return strformat("Receive buffer overflow: line longer than %d characters dropped",
                     AsciiReceiver::kBufferSize);
}
