#include "Set_Data.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Modal.h"
#include "Notices.h"
#include "corvane.h"

TSet_DataDlg *Set_DataDlg = nullptr;

TSet_DataDlg *set_data_dialog()
{
    if (!Set_DataDlg)
        Set_DataDlg = new TSet_DataDlg;
    return Set_DataDlg;
}

TSet_DataDlg::TSet_DataDlg(QWidget *parent) : QDialog(parent)
{
    setObjectName("Set_DataDlg");
    setWindowTitle("Set Data Value Dialog");

    auto *frame = new QGroupBox(this);
    frame->setObjectName("Bevel1");
    Label1 = new QLabel("Label1", frame);
    Label1->setObjectName("Label1");
    Edit1 = new QLineEdit(frame);
    Edit1->setObjectName("Edit1");
    Edit1->setMaxLength(6);
    Label2 = new QLabel("Decimal", frame);
    Label2->setObjectName("Label2");
    ComboBox1 = new QComboBox(frame);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->addItems({"Off", "On"});

    auto *fields = new QHBoxLayout;
    fields->addWidget(Edit1);
    fields->addWidget(Label2);
    fields->addWidget(ComboBox1);
    auto *inFrame = new QVBoxLayout(frame);
    inFrame->addWidget(Label1);
    inFrame->addLayout(fields);

    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);

    auto *all = new QVBoxLayout(this);
    all->addWidget(frame);
    all->addLayout(buttons);
    all->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog border

    // The click handler checks the input first; the dialog then closes with
    // OK unless the check asked to keep it open (see done()).
    connect(OKBtn, &QPushButton::clicked, this, &TSet_DataDlg::OKBtnClick);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

int TSet_DataDlg::AskDataValue(uint16_t function, uint16_t address, uint16_t mode, uint16_t &value)
{
    function_ = function;
    address_ = address;
    value_ = value;
    mode_ = mode;
    keepOpen_ = false;
    formatted_ = false;

    if (function == 5) {
        Label2->hide();
        Edit1->hide();
        ComboBox1->show();
        Label1->setText(QString::asprintf("Relay: 0%04d", int(address)));
        ComboBox1->setCurrentIndex(value ? 1 : 0);
    } else {
        Label2->show();
        Edit1->show();
        ComboBox1->hide();
        Label1->setText(QString::asprintf("Register: 4%04d", int(address)));
        if (mode == 0) {
            Edit1->setMaxLength(6);
            Edit1->setText(QString::number(int(int16_t(value))));
            Label2->setText("Decimal");
        } else {
            char digits[5] = {0};
            itascxr(value, -4, digits);
            Edit1->setMaxLength(4);
            Edit1->setText(QString::fromLatin1(digits));
            Label2->setText("Hex.");
        }
    }

    if (run_modal(this) != QDialog::Accepted)
        return -1;
    value = value_;
    return 0;
}

int TSet_DataDlg::AskFormattedValue(uint16_t address, ValueFormat format, const std::string &current,
                                    EncodedValue &value)
{
    function_ = 16;
    address_ = address;
    format_ = format;
    formatted_ = true;
    keepOpen_ = false;
    encoded_ = {};
    Label2->show();
    Edit1->show();
    ComboBox1->hide();
    Label1->setText(QString::asprintf("Register: 4%04d", int(address)));
    Edit1->setMaxLength(40);  // a double's shortest text with sign and exponent fits
    Edit1->setText(QString::fromStdString(current));
    Label2->setText(value_format_text(format));

    const int result = run_modal(this);
    formatted_ = false;
    if (result != QDialog::Accepted)
        return -1;
    value = encoded_;
    return 0;
}

void TSet_DataDlg::OKBtnClick()
{
    keepOpen_ = false;
    if (formatted_) {
        const EncodedValue v = encode_value(format_, Edit1->text().toStdString());
        if (v.ok()) {
            encoded_ = v;
        } else {
            show_message_box(std::string(value_format_text(format_)) + " data error: " + v.error);
            Edit1->setFocus();
            keepOpen_ = true;
        }
        return;
    }
    if (function_ == 5) {
        value_ = ComboBox1->currentIndex() == 0 ? 0 : 1;
        return;
    }
    QByteArray text = Edit1->text().toLatin1();
    if (mode_ != 0) {
        uint16_t v = 0;
        if (ascxti(text.data(), int16_t(text.size()), &v) == 0) {
            value_ = v;
        } else {
            show_message_box("Hex. data error !!!!");
            Edit1->setFocus();
            keepOpen_ = true;
        }
        return;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || c == '-' || c == '+')) {
            show_message_box("Decimal data error !!!!");
            Edit1->setFocus();
            keepOpen_ = true;
            break;
        }
    }
    // Optional sign, then digits up to the first other character; kept in 16 bits.
    int i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    uint32_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        v = (v * 10 + uint32_t(text[i] - '0')) & 0xFFFF;
    value_ = uint16_t(negative ? 0u - v : v);
}

bool TSet_DataDlg::FormClose()
{
    if (keepOpen_) {
        keepOpen_ = false;
        return false;
    }
    return true;
}

void TSet_DataDlg::done(int result)
{
    if (!FormClose())
        return;
    QDialog::done(result);
}

void TSet_DataDlg::FormActivate()
{
    if (function_ == 5)
        ComboBox1->setFocus();
    else
        Edit1->setFocus();
}

void TSet_DataDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    FormActivate();
}
