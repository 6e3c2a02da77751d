#include "Set_Format_Value.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Modal.h"
#include "Notices.h"

TSet_FormatValueDlg::TSet_FormatValueDlg(QWidget *parent) : QDialog(parent)
{
    setObjectName("Set_FormatValueDlg");
    setWindowTitle("Set Register Value");
    setModal(true);

    Label1 = new QLabel(this);
    Label1->setObjectName("Label1");
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName("Edit1");
    // The longest text a value of any format needs (a double's shortest
    // round-trip text, a 16-digit binary word) is well under this.
    Edit1->setMaxLength(64);
    Edit1->setMinimumWidth(180);
    Label2 = new QLabel(this);
    Label2->setObjectName("Label2");
    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");

    auto *box = new QFrame(this);
    box->setObjectName("Bevel1");
    box->setFrameShape(QFrame::Box);
    box->setFrameShadow(QFrame::Sunken);
    auto *inside = new QGridLayout(box);
    inside->addWidget(Label1, 0, 0, 1, 2);
    inside->addWidget(Edit1, 1, 0);
    inside->addWidget(Label2, 1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    buttons->addStretch(1);
    auto *top = new QVBoxLayout(this);
    top->addWidget(box);
    top->addLayout(buttons);

    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

int TSet_FormatValueDlg::EditFormattedValue(int16_t kind, uint16_t index, ValueFormat format,
                                            std::span<const uint16_t> current, EncodedValue &value)
{
    format_ = format;
    value_ = EncodedValue{};
    Label1->setText(kind == 3 ? QString::asprintf("Holding Register: %05u", unsigned(index) + 40001)
                              : QString::asprintf("Input Register: %05u", unsigned(index) + 30001));
    Label2->setText(QString::fromLatin1(value_format_text(format)));
    Edit1->setText(QString::fromStdString(decode_value(format, current)));
    Edit1->selectAll();
    Edit1->setFocus();
    if (run_modal(this) != QDialog::Accepted)
        return -1;
    value = value_;
    return 0;
}

void TSet_FormatValueDlg::done(int result)
{
    if (result == QDialog::Accepted) {
        EncodedValue v = encode_value(format_, Edit1->text().toStdString());
        if (!v.ok()) {
            // Refused: the operator corrects the text in the open dialog.
            show_message_box(Edit1->text().toStdString() + ": " + v.error + " for " + value_format_text(format_),
                             "Quillan");
            Edit1->setFocus();
            setResult(0);
            return;
        }
        value_ = v;
    }
    QDialog::done(result);
}
