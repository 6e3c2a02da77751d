// The slave value dialog: switches one coil or input relay Off or On, or gives
// one holding or input register a new 16-bit value in decimal or hexadecimal.
// One instance, Set_ValueDlg, is shared by the three slave stations; it never
// touches a table itself.
#pragma once

#include <QDialog>
#include <cstdint>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

class TSet_ValueDlg : public QDialog {
    Q_OBJECT
public:
    explicit TSet_ValueDlg(QWidget *parent = nullptr);

    // kind 1 coil, 2 input relay, 3 holding register, 4 input register;
    // mode 0 decimal, else hexadecimal (registers only). Shows the dialog
    // modally; 0 on OK with value set, -1 otherwise (value untouched).
    int EditTableValue(int16_t kind, uint16_t index, uint16_t mode, uint16_t &value);

    int16_t EntryKind = 0;
    uint16_t EntryIndex = 0;
    uint16_t EntryValue = 0;
    uint16_t HexInput = 0;
    int32_t KeepOpen = 0;

    QFrame *Bevel1;
    QLabel *Label1;
    QLineEdit *Edit1;
    QLabel *Label2;
    QComboBox *ComboBox1;
    QPushButton *OKBtn;
    QPushButton *CancelBtn;

public slots:
    void FormActivate();
    void OKBtnClick();

protected:
    // Every attempt to close passes here: a refused OK keeps the dialog open.
    void done(int result) override;
    void showEvent(QShowEvent *event) override;
};

extern TSet_ValueDlg *Set_ValueDlg;

// The shared instance; made on first use when start-up has not made it.
TSet_ValueDlg *set_value_dialog();
