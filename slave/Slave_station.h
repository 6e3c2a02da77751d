// What the three slave station windows have in common: the title panel, the
// two memos, the four pages with their grids, the tables behind them, the
// double-click editing through the slave value dialog and the replay of what
// the serving engine did. SerialSlaveForm adds the serial stations' buttons,
// port label, port table and 5 ms receive timer.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Port_Def.h"
#include "Serial_link.h"
#include "Slave_engine.h"
#include "Slave_tables.h"
#include "Station_traffic.h"

class QFrame;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QTabWidget;
class QTimer;
class Memo;
class StringGrid;
class TrafficPanel;

class SlaveStationForm : public QWidget {
    Q_OBJECT
public:
    SlaveStationForm(const QString &caption, const SlaveProfile &profile, QWidget *parent);
    ~SlaveStationForm() override;

    // Bit accessors of the window's tables.
    uint16_t ReadInputRelay(uint16_t n) const { return tables.ReadInputRelay(n); }
    uint16_t ReadCoil(uint16_t n) const { return tables.ReadCoil(n); }
    void WriteCoil(uint16_t n, uint16_t v) { tables.WriteCoil(n, v); }
    void WriteInputRelay(uint16_t n, uint16_t v) { tables.WriteInputRelay(n, v); }

    // Shows table entry n of kind 1..4 in its grid as the table holds it.
    void refreshEntry(int kind, uint16_t n);
    // Serves one complete request and replays the result on the memos and
    // grids; send is called with the response where it goes out.
    void serve(const uint8_t *request, size_t n, const std::function<void(const std::vector<uint8_t> &)> &send);
    // A line for a memo; a CR LF inside it ends a line as in the traffic logs.
    static void memoAdd(Memo *memo, const std::string &text);

    SlaveTables tables;
    const SlaveProfile &profile;
    Station_traffic traffic;  // shown on the page "Traffic"

    QLabel *Panel3;
    QFrame *Panel1;
    QFrame *Panel2;
    Memo *Memo1;
    Memo *Memo2;
    QTabWidget *PageControl1;
    QWidget *TabSheet1, *TabSheet2, *TabSheet3, *TabSheet4;
    StringGrid *StringGrid1, *StringGrid2, *StringGrid3, *StringGrid4;

public slots:
    void StringGrid1DblClick();
    void StringGrid2DblClick();
    void StringGrid3DblClick();
    void StringGrid4DblClick();

protected:
    QHBoxLayout *panel1Layout() const { return panel1Layout_; }
    // A purple-texted button in Panel1.
    QPushButton *addButton(const char *name, const QString &text);

private:
    void editBit(StringGrid *grid, int kind);
    void editRegister(StringGrid *grid, int kind);
    QHBoxLayout *panel1Layout_;
    // Goes before the history it shows (declared after it).
    std::unique_ptr<TrafficPanel> trafficPanel_;
};

// The Slave RTU and Slave ASCII stations: a port on the link library, opened
// and closed by "Open Server" / "Close Server", read on every 5 ms tick.
class SerialSlaveForm : public SlaveStationForm {
    Q_OBJECT
public:
    SerialSlaveForm(const QString &caption, const SlaveProfile &profile, int stationKind, int usedPort,
                    char parity, int16_t dataBits, QWidget *parent);
    ~SerialSlaveForm() override;

    // The port and clock seam; the library-backed link unless a test sets one.
    void setLink(SerialLink *link) { link_ = link ? link : &default_serial_link(); }
    SerialLink &link() const { return *link_; }

    virtual void UpdatePortLabel();
    bool serverOpen() const;

    StationPorts ports;

    QPushButton *BitBtn3;
    QLabel *Label1;
    QPushButton *BitBtn1;
    QPushButton *BitBtn2;
    QTimer *Timer1;

public slots:
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    virtual void Timer1Timer() = 0;

protected:
    void closeEvent(QCloseEvent *event) override;
    void FormClose();
    // Serves a request collected by the receiver and writes the response.
    void serveSerial(const uint8_t *request, int32_t length);

private:
    SerialLink *link_;
    int stationKind_;
    bool closed_ = false;
};
