#include "Set_Watch_Value.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Engineering_value.h"
#include "Modal.h"
#include "Notices.h"

TSet_WatchValueDlg::TSet_WatchValueDlg(QWidget *parent) : QDialog(parent)
{
    setObjectName("Set_WatchValueDlg");
    setWindowTitle("Write Value");
    setModal(true);

    Label1 = new QLabel(this);
    Label1->setObjectName("Label1");
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName("Edit1");
    Edit1->setMaxLength(64);
    Edit1->setMinimumWidth(180);
    Label2 = new QLabel(this);
    Label2->setObjectName("Label2");
    Label3 = new QLabel(this);
    Label3->setObjectName("Label3");
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
    inside->addWidget(Label3, 2, 0, 1, 2);
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

int TSet_WatchValueDlg::AskEngineeringValue(const Map_entry &entry, const QString &current, EncodedValue &value)
{
    entry_ = entry;
    value_ = EncodedValue{};
    Label1->setText(QString::fromStdString(entry.name + "  (" + entry.address() + ", device " +
                                           std::to_string(entry.device) + ")"));
    Label2->setText(QString::fromStdString(entry.unit));
    const Engineering_range range = engineering_range(entry);
    Label3->setText(QString::fromStdString(entry.format_text() + ": " + engineering_text(entry, range.low) + " to " +
                                           engineering_text(entry, range.high)));
    Edit1->setText(current);
    Edit1->selectAll();
    Edit1->setFocus();
    if (run_modal(this) != QDialog::Accepted)
        return -1;
    value = value_;
    return 0;
}

void TSet_WatchValueDlg::done(int result)
{
    if (result == QDialog::Accepted) {
        const EncodedValue v = encode_engineering_text(entry_, Edit1->text().toStdString());
        if (!v.ok()) {
            // Refused: the operator corrects the text in the open dialog.
            show_message_box(entry_.name + ": " + Edit1->text().toStdString() + ": " + v.error, "Quillan");
            Edit1->setFocus();
            setResult(0);
            return;
        }
        value_ = v;
    }
    QDialog::done(result);
}
