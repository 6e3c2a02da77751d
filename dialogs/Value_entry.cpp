#include "Value_entry.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Modal.h"
#include "Notices.h"

TValueEntryDlg::TValueEntryDlg(QWidget *parent, const char *extra_line_name) : QDialog(parent)
{
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
    if (extra_line_name) {
        extraLine_ = new QLabel(this);
        extraLine_->setObjectName(extra_line_name);
        inside->addWidget(extraLine_, 2, 0, 1, 2);
    }
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

int TValueEntryDlg::ask(const QString &current, EncodedValue &value)
{
    value_ = EncodedValue{};
    Edit1->setText(current);
    Edit1->selectAll();
    Edit1->setFocus();
    if (run_modal(this) != QDialog::Accepted)
        return -1;
    value = value_;
    return 0;
}

void TValueEntryDlg::done(int result)
{
    if (result == QDialog::Accepted) {
        const std::string text = Edit1->text().toStdString();
        EncodedValue v = read(text);
        if (!v.ok()) {
            show_message_box(refusal(text, v), "Quillan");
            Edit1->setFocus();
            setResult(0);
            return;
        }
        value_ = v;
    }
    QDialog::done(result);
}
