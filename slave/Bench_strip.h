// The slave stations' test-bench strip, three rows between the buttons and
// the memos: the unit filter, delay, drop and corrupted checksum; the forced
// exception and the register display format; the counters and the table
// files. It only holds the controls; the station reads and wires them.
#pragma once

#include <QFrame>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

class BenchStrip : public QFrame {
    Q_OBJECT
public:
    // withChecksum: the station's framing carries a CRC or LRC (CorruptBox).
    BenchStrip(bool withChecksum, QWidget *parent);

    QLineEdit *UnitIds;
    QSpinBox *DelayMs;
    QSpinBox *DropEvery;
    QComboBox *ForceException;
    QCheckBox *CorruptBox;  // nullptr on Modbus/TCP
    QComboBox *FormatBox;
    QLabel *StatsLabel;
    QPushButton *ResetStats;
    QPushButton *LoadTables;
    QPushButton *SaveTables;
    // Codes 7, 8, 11, 17, 22, 23 and 43/14 answered (off: exception 01).
    QCheckBox *MoreCodes;
    // A device map's initial values and simulations for the tables.
    QPushButton *LoadMap;
};
