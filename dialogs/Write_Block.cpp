#include "Write_Block.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "Modal.h"
#include "Notices.h"
#include "Query.h"

TWrite_BlockDlg *write_block_dialog()
{
    static TWrite_BlockDlg *dialog = nullptr;  // lives as long as the program, like the other dialogs
    if (!dialog)
        dialog = new TWrite_BlockDlg;
    return dialog;
}

TWrite_BlockDlg::TWrite_BlockDlg(QWidget *parent) : QDialog(parent)
{
    setObjectName("Write_BlockDlg");
    setWindowTitle("Write Block Dialog");

    KindLabel = new QLabel(this);
    KindLabel->setObjectName("KindLabel");
    StartAddress = new QSpinBox(this);
    StartAddress->setObjectName("StartAddress");
    StartAddress->setRange(1, 9999);
    Values = new QPlainTextEdit(this);
    Values->setObjectName("Values");
    Values->setTabChangesFocus(true);  // Tab moves on; values are separated by lines or commas
    Values->setMinimumSize(280, 180);
    auto *hint = new QLabel("One value per line or comma separated.", this);
    hint->setObjectName("HintLabel");

    auto *fields = new QFormLayout;
    fields->addRow("Start address", StartAddress);
    fields->addRow("Values", Values);

    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);

    auto *all = new QVBoxLayout(this);
    all->addWidget(KindLabel);
    all->addLayout(fields);
    all->addWidget(hint);
    all->addLayout(buttons);

    // As in the write-value dialog: the click handler checks the values
    // first, then the dialog closes with OK unless the check kept it open.
    connect(OKBtn, &QPushButton::clicked, this, &TWrite_BlockDlg::OKBtnClick);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

int TWrite_BlockDlg::AskBlock(bool coils, ValueFormat format, uint16_t &start, BlockValues &out)
{
    coils_ = coils;
    format_ = format;
    keepOpen_ = false;
    values_ = {};
    if (coils)
        KindLabel->setText(QString("Output coils, 0 or 1, at most %1").arg(kMaxWriteCoils));
    else
        KindLabel->setText(QString("Holding registers, %1, at most %2 registers")
                               .arg(value_format_text(format))
                               .arg(kMaxWriteRegisters));
    StartAddress->setValue(start);  // the spin box clamps to its range

    if (run_modal(this) != QDialog::Accepted)
        return -1;
    start = uint16_t(StartAddress->value());
    out = std::move(values_);
    return 0;
}

void TWrite_BlockDlg::OKBtnClick()
{
    const std::string error =
        parse_block_values(Values->toPlainText().toStdString(), coils_, format_, values_);
    keepOpen_ = !error.empty();
    if (keepOpen_) {
        show_message_box(error);
        Values->setFocus();
    }
}

void TWrite_BlockDlg::done(int result)
{
    if (keepOpen_) {
        keepOpen_ = false;
        return;
    }
    QDialog::done(result);
}

void TWrite_BlockDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    Values->setFocus();
}
