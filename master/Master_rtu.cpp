#include "Master_rtu.h"
#include "Strformat.h"

#include <QPushButton>
#include <cstring>

#include "Answer_code.h"
#include "Master_grid.h"
#include "Query.h"

TMSRTU_Form::TMSRTU_Form(QWidget *parent)
    : SerialMasterWindow("Modbus master RTU  type protocol", "Modbus Master RTU Utility Program", kRtuLimits, 4,
                         MasterRtu, parent)
{
    setObjectName("MSRTU_Form");
    FormCreate();
}

void TMSRTU_Form::FormCreate()
{
    ComboBox1->setCurrentIndex(0);
    CheckRequestFields();
    setUpPorts(1, 9600, 'N', 8, 1);
    receiver_.setGap(100);
}

int32_t TMSRTU_Form::prepareQuery(uint32_t function, uint16_t device, uint16_t address, uint16_t count,
                                  uint16_t value)
{
    length_ = 0;
    std::memset(query_, 0, sizeof query_);
    return prepare_rtu_query(function, uint8_t(device), address, count, value, &length_, query_);
}

int32_t TMSRTU_Form::prepareBlock(const WriteJob &job)
{
    length_ = 0;
    std::memset(query_, 0, sizeof query_);
    if (job.function == 15)
        return prepare_rtu_write_coils(uint8_t(job.device), job.address, uint16_t(job.bits.size()), job.bits.data(), &length_,
                                      query_);
    return prepare_rtu_write_registers(uint8_t(job.device), job.address, uint16_t(job.words.size()), job.words.data(), &length_,
                                      query_);
}

void TMSRTU_Form::SendQuery()
{
    Memo1->clear();
    Memo1->add(hex_line("Query message: ", query_, length_));
    sendRequest(query_, length_);
}

void TMSRTU_Form::showAnswer()
{
    length_ = receiver_.length();
    show_rtu_response(*StringGrid1, receiver_.data(), receiver_.length(), request_.count, write_.row, write_.col,
                      write_.value);
    answerShown(rtu_answer_code(receiver_.data(), receiver_.length()), responseMs());
}

std::vector<uint8_t> TMSRTU_Form::answerBytes() const
{
    const int32_t n = receiver_.length() - 2;  // the CRC goes
    if (n <= 0)
        return {};
    return {receiver_.data(), receiver_.data() + n};
}

std::string TMSRTU_Form::overflowText() const
{
    return strformat("Receive buffer overflow: answer longer than %d bytes dropped", RtuReceiver::kBufferSize);
}
