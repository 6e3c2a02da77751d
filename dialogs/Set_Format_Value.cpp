#include "Set_Format_Value.h"

#include <QLabel>

TSet_FormatValueDlg::TSet_FormatValueDlg(QWidget *parent) : TValueEntryDlg(parent, nullptr)
{
    setObjectName("Set_FormatValueDlg");
    setWindowTitle("Set Register Value");
}

int TSet_FormatValueDlg::EditFormattedValue(int16_t kind, uint16_t index, ValueFormat format,
                                            std::span<const uint16_t> current, EncodedValue &value)
{
    format_ = format;
    Label1->setText(kind == 3 ? QString::asprintf("Holding Register: %05u", unsigned(index) + 40001)
                              : QString::asprintf("Input Register: %05u", unsigned(index) + 30001));
    Label2->setText(QString::fromLatin1(value_format_text(format)));
    return ask(QString::fromStdString(decode_value(format, current)), value);
}

EncodedValue TSet_FormatValueDlg::read(const std::string &text) const { return encode_value(format_, text); }

std::string TSet_FormatValueDlg::refusal(const std::string &text, const EncodedValue &result) const
{
    return text + ": " + result.error + " for " + value_format_text(format_);
}
