// The scan for devices on a master station's line: which device addresses
// answer, and on a serial line at which setting. The dialog is wiring only:
// the scan itself is Unit_scan, run over the send and receive path the
// station lends it (Scan_station), one exchange at a time, on timers, so
// the window never waits.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Unit_scan.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;

// What a master station lends the scan: its link (Scan_line) and what the
// scan needs to know of it.
class Scan_station : public Scan_line {
public:
    virtual Scan_transport scanTransport() const = 0;
    // The Setting column's text on a link without line settings ("Modbus/TCP").
    virtual std::string scanSettingText() const { return {}; }
    // The serial line's settings now.
    virtual Scan_setting scanLine() const { return {}; }
    // Tcp and Udp: the first transaction id for the scan; told the next one
    // free when it ends, so that the station's own count goes on from there.
    virtual uint16_t scanTransaction() const { return 1; }
    virtual void scanTransactionUsed(uint16_t) {}
    // Lends the link: polling paused, the exchange in flight given up, what
    // is received handed to bytes, lost called when the link goes. Returns
    // why it cannot (the link is not open), empty when lent.
    virtual std::string scanBegin(std::function<void(const uint8_t *, size_t)> bytes, std::function<void()> lost) = 0;
    // Takes the link back (the line at its own settings again); polling goes on.
    virtual void scanEnd() = 0;
    // Puts the device address, and the line setting when there is one, into
    // the station's fields.
    virtual void scanUse(int unit, const Scan_setting *line) = 0;
    // The station's monotonic clock, ms.
    virtual int64_t scanNow() const = 0;
};

// Where "Save…" writes; tests answer without a file dialog. Empty: cancelled.
using ScanFileAsker = std::function<QString(QWidget *parent)>;
void set_scan_file_asker(ScanFileAsker asker);  // empty: the file dialog

class TScan_Dlg : public QDialog {
    Q_OBJECT
public:
    TScan_Dlg(Scan_station &station, QWidget *parent = nullptr);
    ~TScan_Dlg() override;

    bool scanning() const;
    const Unit_scan &scan() const { return *scan_; }

public slots:
    void ScanStartClick();
    void ScanStopClick();
    void ScanSaveClick();
    void ScanUseClick();

protected:
    // Esc ends a scan going on and leaves the dialog open with its results;
    // with no scan going on it closes the dialog.
    void reject() override;
    void showEvent(QShowEvent *event) override;

private:
    void wake();
    void bytes(const uint8_t *data, size_t n);
    void finish(const QString &why);
    void showRows();
    void probeChanged(int index);
    void setIdle(bool idle);

    Scan_station &station_;
    std::unique_ptr<Unit_scan> scan_;
    bool lent_ = false;
    int shownRows_ = 0;
    QString lastDefault_;  // the address the probe offered last

    QSpinBox *FirstUnit, *LastUnit, *ScanTimeoutMs;
    QComboBox *ScanProbe;
    QLineEdit *ScanAddress;
    QCheckBox *ScanBauds;
    QPushButton *ScanStart, *ScanStop, *ScanSave, *ScanUse, *CloseBtn;
    QProgressBar *ScanProgress;
    QLabel *ScanAt;
    QTableWidget *ScanResults;
    QTimer *timer_;
};
