#include "Set_Value.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>

#include "Modal.h"
#include "Notices.h"
#include "corvane.h"

TSet_ValueDlg *Set_ValueDlg = nullptr;

TSet_ValueDlg *set_value_dialog()
{
    if (!Set_ValueDlg)
        Set_ValueDlg = new TSet_ValueDlg();
    return Set_ValueDlg;
}

TSet_ValueDlg::TSet_ValueDlg(QWidget *parent) : QDialog(parent)
{
    setObjectName("Set_ValueDlg");
    setWindowTitle("Set Relay/Register Value");
    setFixedSize(240, 203);
    setModal(true);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setFrameShape(QFrame::Box);
    Bevel1->setFrameShadow(QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 224, 140);

    Label1 = new QLabel("Label1", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(24, 28, 200, 20);

    Edit1 = new QLineEdit(this);
    Edit1->setObjectName("Edit1");
    Edit1->setMaxLength(6);
    Edit1->setGeometry(24, 80, 110, 24);

    Label2 = new QLabel("Decimal", this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(144, 82, 80, 20);

    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->setEditable(true);
    // The edit part is for choosing; Enter there must not add what was typed
    // to the one dialog all slave stations share.
    ComboBox1->setInsertPolicy(QComboBox::NoInsert);
    ComboBox1->addItems({"Off", "On"});
    ComboBox1->setEditText("ComboBox1");
    ComboBox1->setGeometry(24, 80, 110, 24);

    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setDefault(true);
    OKBtn->setGeometry(40, 164, 75, 25);

    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setGeometry(126, 164, 75, 25);

    connect(OKBtn, &QPushButton::clicked, this, [this] {
        OKBtnClick();
        accept();
    });
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

int TSet_ValueDlg::EditTableValue(int16_t kind, uint16_t index, uint16_t mode, uint16_t &value)
{
    EntryKind = kind;
    EntryIndex = index;
    EntryValue = value;
    HexInput = mode;
    KeepOpen = 0;

    if (kind == 1 || kind == 2) {
        Label2->hide();
        Edit1->hide();
        ComboBox1->show();
        Label1->setText(kind == 1 ? QString::asprintf("Output Coil: %05u", unsigned(index) + 1)
                                  : QString::asprintf("Input Relay: %05u", unsigned(index) + 10001));
        ComboBox1->setCurrentIndex(value == 0 ? 0 : 1);
    } else if (kind == 3 || kind == 4) {
        Label2->show();
        Edit1->show();
        ComboBox1->hide();
        Label1->setText(kind == 3 ? QString::asprintf("Holding Register: %05u", unsigned(index) + 40001)
                                  : QString::asprintf("Input Register: %05u", unsigned(index) + 30001));
        if (mode != 0) {
            char hex[5] = {};
            itascxr(value, -4, hex);
            Edit1->setMaxLength(4);
            Edit1->setText(QString::fromLatin1(hex, 4));
            Label2->setText("Hex.");
        } else {
            Edit1->setMaxLength(6);
            Edit1->setText(QString::number(int(int16_t(value))));
            Label2->setText("Decimal");
        }
    }

    if (run_modal(this) != QDialog::Accepted)
        return -1;
    value = EntryValue;
    return 0;
}

void TSet_ValueDlg::FormActivate()
{
    if (EntryKind == 1 || EntryKind == 2)
        ComboBox1->setFocus();
    else
        Edit1->setFocus();
}

void TSet_ValueDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    FormActivate();
}

void TSet_ValueDlg::OKBtnClick()
{
    KeepOpen = 0;
    if (EntryKind == 1 || EntryKind == 2) {
        EntryValue = ComboBox1->currentIndex() == 0 ? 0 : 1;
        return;
    }
    QByteArray text = Edit1->text().left(6).toLatin1();
    if (HexInput != 0) {
        uint16_t v = 0;
        if (ascxti(text.data(), int16_t(text.size()), &v) == 0) {
            EntryValue = v;
        } else {
            show_message_box("Hex. data error !!!!", "Quillan");
            Edit1->setFocus();
            KeepOpen = 1;
        }
        return;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || c == '-' || c == '+')) {
            show_message_box("Decimal data error !!!!", "Quillan");
            Edit1->setFocus();
            KeepOpen = 1;
            break;
        }
    }
    EntryValue = uint16_t(std::atol(text.constData()) & 0xFFFF);
}

void TSet_ValueDlg::done(int result)
{
    if (KeepOpen == 1) {
        KeepOpen = 0;
        setResult(0);
        return;
    }
    KeepOpen = 0;
    QDialog::done(result);
}
