// What the three slave station windows have in common: the title panel, the
// two memos, the four pages with their grids, the tables behind them, the
// double-click editing through the slave value dialog and the replay of what
// the serving engine did. SerialSlaveForm adds the serial stations' buttons,
// port label, port table and 5 ms receive timer.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <bitset>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Answer_queue.h"
#include "Port_Def.h"
#include "Serial_link.h"
#include "Setup_fields.h"
#include "Slave_bench.h"
#include "Slave_engine.h"
#include "Slave_map.h"
#include "Slave_tables.h"
#include "Station_traffic.h"
#include "Value_format.h"

class BenchStrip;
class SlaveListener;
class QCheckBox;
class QFrame;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSocketNotifier;
class QTabWidget;
class QTimer;
class RefreshThrottle;
class Memo;
class StringGrid;
class TrafficPanel;

// Asks the operator for the tables file to load from (save false) or save to;
// empty when cancelled. The program asks with a file dialog; tests install
// an answer.
using TableFileAsker = std::function<QString(QWidget *parent, bool save)>;
void set_table_file_asker(TableFileAsker asker);  // empty: the file dialog

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
    // Brings the grid rows of the entries requests changed up to date now
    // (they follow at the end of the event-loop turn, at most every
    // kGridRefreshMs, or when a grid's cells are read).
    void refreshChangedEntries();
    static constexpr int kGridRefreshMs = 20;
    // Serves one complete request through the test bench and replays the
    // result on the memos and grids; send is called with the response where
    // it goes out. An answer delayed on purpose, or one that must wait for
    // answers delayed before it, goes into later (when given) and out
    // through sendDueAnswers(); without later it goes at once.
    void serve(const uint8_t *request, size_t n, const std::function<void(const std::vector<uint8_t> &)> &send,
               AnswerQueue *later = nullptr, const Traffic_link *link = nullptr);
    // A line for a memo; a CR LF inside it ends a line as in the traffic logs.
    static void memoAdd(Memo *memo, const std::string &text);

    SlaveTables tables;
    const SlaveProfile &profile;
    Station_traffic traffic;  // shown on the page "Traffic"
    // Unit filter, injected faults and counters around the serving engine.
    SlaveBench bench;

    QLabel *Panel3;
    QFrame *Panel1;
    BenchStrip *OptionStrip;
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
    // The test-bench strip's actions.
    void UnitIdsEditingFinished();
    void ResetStatsClick();
    void LoadTablesClick();
    void SaveTablesClick();
    void SaveSetupClick();  // "Save setup…"
    void OpenSetupClick();  // "Open setup…"
    // Opens a setup file into the window; a failure is told in a box and
    // changes nothing. Opening never opens the server.
    bool openSetup(const QString &path);
    // The device map: "More function codes", "Load map…", the Values
    // page's "Restart" and double-click, and the 100 ms simulation tick.
    void MoreCodesClick();
    void LoadMapClick();
    void RestartSimClick();
    void ValuesGridDblClick();
    void SimTimerTimer();

public:
    // The register pages' display format (FormatBox).
    ValueFormat registerFormat() const { return format_; }
    // Replaces the tables with a CSV file's, or tells in a box why not and
    // changes nothing. True when loaded.
    bool loadTables(const QString &path);
    // Writes the tables to a CSV file; a failure is told in a box.
    bool saveTables(const QString &path);
    // Takes a device map: its initial values go into the tables, its
    // simulations start, and the page "Values" (made on the first load,
    // beside the table pages) lists its entries. A bad map is told in a box
    // naming its file, line and reason, and nothing changes. The map's
    // device column is not used: the station's tables serve every unit.
    bool loadMap(const QString &path);
    // Sets map entry i (a row of the Values page less one) to a value in
    // engineering units; a bad value is told in a box. Its simulation stops.
    bool setMapValue(size_t i, const QString &text);
    const SlaveMap &slaveMap() const { return map_; }
    // The file the map was loaded from; empty without a map.
    const QString &mapPath() const { return mapPath_; }
    // The page "Values" and what is on it; nullptr until a map is loaded.
    QWidget *TabSheet6 = nullptr;
    StringGrid *ValuesGrid = nullptr;
    QLabel *MapLabel = nullptr;
    QPushButton *RestartSim = nullptr;
    QTimer *SimTimer;
    // Shows the counters now (they are shown at most every kStatsRefreshMs).
    void refreshStats();
    static constexpr int kStatsRefreshMs = 100;

    // The station's setup (.qsetup): its keys, the controls' values, and
    // the values shown in the controls ("" or "KEY: REASON", nothing
    // changed then). A control joins the setup with one setupFields() line.
    Setup_schema setupSchema() const { return setup_.schema(); }
    std::string collectSetup(Station_setup &out) const { return setup_.collect(out); }
    std::string applySetup(const Station_setup &setup) { return setup_.apply(setup); }

    QPushButton *SaveSetup;
    QPushButton *OpenSetup;

protected:
    // Where a control joins the setup, once it shows its starting value.
    Setup_fields &setupFields() { return setup_; }
    // Milliseconds of the station's monotonic clock, the time base of the
    // delayed answers.
    int64_t nowMs() const { return clock_.elapsed(); }
    // sendDueAnswers() runs at dueMs at the latest.
    void armAnswerTimer(int64_t dueMs);
    // Sends what is due in the station's answer queues and arms the timer
    // for the next.
    virtual void sendDueAnswers() {}
    // The counters changed; their label follows shortly.
    void statsChanged();
    // Requests are served as p frames them from now on (the Slave TCP
    // station's RTU over TCP); the station's own profile by default.
    void setServingProfile(const SlaveProfile &p) { servingProfile_ = &p; }
    // The counters shown in StatsLabel, and their reset: the serving's.
    virtual std::string statsText() const;
    virtual void resetStats();
    // An entry of the tables changed; its grid row follows shortly.
    void entryChanged(int kind, uint16_t n);

    QHBoxLayout *panel1Layout() const { return panel1Layout_; }
    // A purple-texted button in Panel1.
    QPushButton *addButton(const char *name, const QString &text);

private:
    const SlaveProfile *servingProfile_ = &profile;
    void editBit(StringGrid *grid, int kind);
    void editRegister(StringGrid *grid, int kind);
    void editFormatted(int kind, uint16_t n);
    void applyFaultOptions();
    void setRegisterFormat(int index);
    void showAllEntries();
    Setup_fields setup_;
    void makeValuesPage();
    void showMapRow(size_t i);
    // A write by the operator to table entry (kind, n): a simulated map
    // entry there stops, as after a master's write.
    void entryWritten(int kind, uint16_t n);
    // Takes a map read already (from path); an empty one: no map.
    void setMap(SlaveMap map, const QString &path);
    SlaveMap map_;
    QString mapPath_;
    QHBoxLayout *panel1Layout_;
    // Goes before the history it shows (declared after it).
    std::unique_ptr<TrafficPanel> trafficPanel_;
    ValueFormat format_ = ValueFormat::Signed;
    int valueColumnWidth_ = 0;  // the value column's own width, in Signed
    QString refusedUnits_;  // the last list refused, so it is not refused twice
    QElapsedTimer clock_;
    QTimer *answerTimer_;
    int64_t answerDue_ = 0;
    QTimer *statsTimer_;
    // Entries requests changed whose rows are not up to date yet: a master
    // writing the same registers hundreds of times a second costs one row
    // update per refresh, not one per request.
    std::bitset<kSlaveEntries> changed_[4];
    std::vector<std::pair<int, uint16_t>> changedList_;
    RefreshThrottle *gridRefresh_;
};

// The Slave RTU and Slave ASCII stations: a port on the link library, opened
// and closed by "Open Server" / "Close Server", read on every 5 ms tick.
// Opened with ListenOnly ticked, the port goes to a SlaveListener in place of
// the receiver and the serving: the history shows what the line carries, the
// tables mirror the device heard and StatsLabel gives the monitor's counters.
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
    // The port was opened with ListenOnly ticked: it is read, never written.
    bool listening() const;

    StationPorts ports;

    QPushButton *BitBtn3;
    QLabel *Label1;
    QPushButton *BitBtn1;
    QPushButton *BitBtn2;
    // "Listen only (never answer)": read at "Open Server", as the port's
    // settings are, and disabled while the port is open.
    QCheckBox *ListenOnly;
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
    // A line of the receiver for the upper memo and the traffic history.
    void receiverLine(const std::string &text);
    // A request the receiver gave up (too long, unfinished): one error, and
    // its bytes in the traffic history.
    void requestDropped(const uint8_t *data, int32_t n);
    void sendDueAnswers() override;
    // While listening: reads what the port holds into the line monitor and
    // lets it end a frame at a silence; true then, false when serving (the
    // caller's receiver runs instead).
    bool listenTick();
    std::string statsText() const override;
    void resetStats() override;

private:
    void startListening();
    void stopListening();
    // Feeds what the port holds to the listener; the bytes taken.
    int32_t takeHeardBytes();
    void portReadable();
    // Answers delayed on purpose, in the order of their requests.
    AnswerQueue later_;
    SerialLink *link_;
    // From the opening of a port with ListenOnly ticked to the next opening:
    // its counters stay shown after the port closes.
    std::unique_ptr<SlaveListener> listener_;
    QSocketNotifier *portWatch_ = nullptr;
    int stationKind_;
    bool closed_ = false;
};
