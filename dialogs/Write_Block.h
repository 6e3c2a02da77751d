// The block-write dialog: a start address and the values for one write of
// several output coils (code 15) or holding registers (code 16). The values
// are checked on OK; bad input gets a box naming the line and the dialog
// stays open with the text as typed.
#pragma once

#include <QDialog>
#include <cstdint>

#include "Block_values.h"
#include "Value_format.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

class TWrite_BlockDlg : public QDialog {
    Q_OBJECT
public:
    explicit TWrite_BlockDlg(QWidget *parent = nullptr);

    // coils: output coils (0/1 values), else holding registers in format.
    // start: the address offered (clamped to 1..9999), on OK the one chosen.
    // 0 on OK with start and out set, -1 otherwise (both untouched). The
    // values typed stay for the next time the dialog opens.
    int AskBlock(bool coils, ValueFormat format, uint16_t &start, BlockValues &out);

    // Refuses to close while the last OK found bad input.
    void done(int result) override;

public slots:
    void OKBtnClick();

protected:
    void showEvent(QShowEvent *event) override;

private:
    bool coils_ = false;
    ValueFormat format_ = ValueFormat::Signed;
    BlockValues values_;
    bool keepOpen_ = false;

    QLabel *KindLabel;
    QSpinBox *StartAddress;
    QPlainTextEdit *Values;
    QPushButton *OKBtn, *CancelBtn;
};

// The one instance the master stations share, made on first use.
TWrite_BlockDlg *write_block_dialog();
