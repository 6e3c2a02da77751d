// The part of a master station window that the RTU, ASCII and TCP stations
// share: header panel, request fields, "Send command" and "Set data value",
// the two traffic memos and the data grid, with the field checks and the
// "Set data value" flow, and the workbench controls: polling, the value
// format, the exchange counters and block writes; the Watch page, whose map
// is read in the same poll cycles, and the Chart page, which plots the
// entries ticked there. Each station adds its port or connection controls
// and its own transport.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <span>

#include "Gui_services.h"
#include "Master_session.h"
#include "Master_station.h"
#include "Setup_fields.h"
#include "Scan_Dlg.h"
#include "Station_traffic.h"
#include "Traffic_panel.h"
#include "Value_format.h"
#include "Watch_page.h"
#include "Write_job.h"

class QHBoxLayout;
class QTabWidget;
class TrendChart;

// Each station lends its link to the scan for devices (Scan_station); the
// parts alike on every station are here, in Master_scan.cpp.
class MasterWindow : public QWidget, protected Scan_station {
    Q_OBJECT
public:
    // The monotonic clock (ms) of polling and response times; tests drive
    // it by hand. Empty: the system's steady clock.
    void setClock(std::function<int64_t()> clock);
    // The Watch page: its map, readings and Plot choices.
    WatchPage *watchPage() const { return watchPage_; }
    // The Chart page: the Plot entries' trends.
    TrendChart *trendChart() const { return trendChart_; }
    // The pages under the controls: "Data", "Traffic", "Watch", "Chart".
    QTabWidget *pages() const { return pages_; }

    // The station's setup (.qsetup): its keys, the controls' values, and
    // the values shown in the controls ("" or "KEY: REASON", nothing
    // changed then). A control joins the setup with one setupFields() line.
    Setup_schema setupSchema() const { return setup_.schema(); }
    std::string collectSetup(Station_setup &out) const { return setup_.collect(out); }
    std::string applySetup(const Station_setup &setup) { return setup_.apply(setup); }

public slots:
    virtual void FormClose() = 0;
    void BitBtn1Click();  // "Send command"
    // "Set data value"; a double click on the grid does the same while the
    // button is enabled.
    void BitBtn2Click();
    void StringGrid1DblClick();
    void PollBoxToggled(bool on);
    void PollIntervalChanged(int ms);
    // Asks the poll scheduler what is due now and does it.
    void PollTimerTimer();
    void FormatBoxChanged(int index);
    void ResetStatsClick();
    void WriteBlockClick();  // "Write block…"
    void SaveSetupClick();   // "Save setup…"
    void OpenSetupClick();   // "Open setup…"
    // Opens a setup file into the window; a failure is told in a box and
    // changes nothing. Opening never opens the port or connection.
    bool openSetup(const QString &path);
    void ScanUnitsClick();   // "Scan…"

protected:
    // countPlaces: digit places of the count field; framing: the station's,
    // for its traffic history.
    MasterWindow(const QString &caption, const QString &header, CountLimits limits, int countPlaces,
                 Traffic_framing framing, QWidget *parent);

    // The row under the header where the station puts its port controls.
    QHBoxLayout *portRow() const { return portRow_; }
    // The row of "Poll", where a station adds its own exchange options.
    QHBoxLayout *pollRow() const { return pollRow_; }
    // Where a control joins the setup, once it shows its starting value.
    Setup_fields &setupFields() { return setup_; }

    // Reads and checks the request fields; on success stores them and lays
    // the grid out (0), else -1 with nothing changed.
    int CheckRequestFields();
    // A request goes out: grid hint off, "Set data value" disabled.
    void beginRequest();
    // An answer was handled: offer "Set data value" for the writable kinds
    // and select the first value cell.
    void offerGrid(bool focusGrid);

    // What the stations report of an exchange.
    // A checked answer was decoded into the grid; code: its function code;
    // responseMs: as the station measured it, or -1 for the time since the
    // request was written. Counts it, shows a block write's values and the
    // value format.
    void answerShown(int code, int64_t responseMs = -1);
    // A checksum, LRC or length error.
    void answerFailed();
    // No answer in time: counted; true when the exchange was polled, so that
    // the station shows no box (Memo2 has the line).
    bool timedOutQuietly();
    // The exchange is over: the next one may go out, and does when due, from
    // within this call; so the station calls it last in its handler.
    void exchangeOver();
    // Whose answer is awaited: false while a map block's read or a write
    // from the Watch page is in flight. Its checked answer then goes to
    // watchAnswered() rather than into the grid, and the grid is not offered.
    bool answerForGrid() const { return sent_ != Sent::Block && sent_ != Sent::WatchWrite; }
    // The checked answer of such an exchange: device address, function code
    // and what follows (no checksum, no TCP header); responseMs as in
    // answerShown().
    void watchAnswered(std::span<const uint8_t> answer, int64_t responseMs = -1);
    // Unticks "Poll" (a check failed, the link is gone); linkGone: the
    // queued writes cannot go out either, and the map is not watched.
    void stopPolling(bool linkGone = false);
    // The link went (port closed, connection lost): polling stops, the
    // queued writes go with one Memo2 line, the exchange in flight ends;
    // showBox: a station that was polling says the link is not open.
    void linkLost(bool showBox);
    // Polling the request fields, the map, or both. A map whose WatchBox a
    // setup ticked waits for the link and is not polled yet.
    bool pollOn() const { return PollBox->isChecked() || watchingMap(); }
    bool watchingMap() const { return watchPage_->watching() && !watchWaiting_; }
    // The link opened (the operator's doing): a setup's WatchBox tick, held
    // until then, starts polling the map.
    void linkOpened();
    int64_t now() const;
    ValueFormat valueFormat() const;

    // What differs per transport.
    virtual bool linkOpen() const = 0;       // the port or connection is open
    virtual const char *notOpenText() const = 0;
    virtual const char *prepareErrorText() const { return "Prepare Modbus Query Message error !!!"; }
    // Clears the request buffer and length and frames the request into them:
    // 0 built, -1 refused.
    virtual int32_t prepareQuery(uint32_t function, uint16_t device, uint16_t address, uint16_t count,
                                 uint16_t value) = 0;
    // The same for a block write (code 15 or 16).
    virtual int32_t prepareBlock(const WriteJob &job) = 0;
    // Logs the built request in Memo1 and sends it.
    virtual void SendQuery() = 0;
    // The exchange in flight is past its answer time-out. A station holding
    // part of an answer checks and logs it here and returns true; false: a
    // polled time-out is counted and logged as such.
    virtual bool answerTimedOut() { return false; }
    // Reads one request field as a number: digits up to the first other
    // character, a blank included. The RTU station reads past the blanks.
    virtual long readRequestField(const QLineEdit *field) const { return read_decimal_field(field); }

    void closeEvent(QCloseEvent *event) override;

    // The scan for devices. While it runs polling pauses and what the link
    // receives goes to scanReceived(); a station routes its receive path
    // there between scanTake() and scanGive().
    bool scanning() const { return scanning_; }
    void scanReceived(const uint8_t *data, size_t n);
    // The station stops its own receiving (the exchange in flight is given
    // up) and starts handing received bytes to scanReceived(); then back.
    virtual void scanTake() {}
    virtual void scanGive() {}
    // A serial station takes the line setting "Use" picked.
    virtual void scanUseLine(const Scan_setting &) {}
    std::string scanBegin(std::function<void(const uint8_t *, size_t)> bytes, std::function<void()> lost) override;
    void scanEnd() override;
    void scanUse(int unit, const Scan_setting *line) override;
    int64_t scanNow() const override { return now(); }
    // Bytes the scan took as an answer, or dropped.
    void answer(const uint8_t *bytes, size_t n) override;
    void dropped(const uint8_t *bytes, size_t n, bool late) override;
    bool set_line(const Scan_setting &) override { return true; }

    QLabel *Panel1;
    QComboBox *ComboBox1;
    QLineEdit *MaskEdit1, *MaskEdit2, *MaskEdit3;
    QPushButton *BitBtn1, *BitBtn2;
    Memo *Memo1, *Memo2;
    StringGrid *StringGrid1;

    QCheckBox *PollBox;
    QSpinBox *PollInterval;
    QComboBox *FormatBox;
    QLabel *StatsLabel;
    QPushButton *ResetStats, *WriteBlock, *ScanUnits;
    QPushButton *SaveSetup, *OpenSetup;
    QTimer *PollTimer;
    QTimer *StatsTimer;
    static constexpr int kStatsRefreshMs = 100;

    MasterRequest request_;
    // The last single write sent (code 5 or 6): its echo goes to its cell.
    MasterWrite write_;
    // Declared before its panel, which goes first (the history must outlive
    // the panel, and the window's widgets are destroyed only after its
    // members).
    Station_traffic traffic_;
    std::unique_ptr<TrafficPanel> trafficPanel_;
    MasterSession session_;

private:
    // The scheduler is asked again once the current event is handled.
    void kick();
    void pollCycle();
    // Sends the read of the map's block.
    void watchStep(int block);
    void watchChanged(bool on);
    // The Watch and Chart pages' keys of the setup (Master_setup.cpp).
    void addWatchSetup();
    // A setup's WatchBox: ticked, it waits for the link to open.
    void restoreWatch(bool on);
    void watchWrite(const Map_entry &entry, const EncodedValue &value);
    // The block in flight failed: its entries show why.
    void blockFailed(Read_status status);
    // A write goes out now, or waits behind the exchange in flight while polling.
    void submitWrite(WriteJob job);
    void sendJob(const WriteJob &job, bool queued);
    void noteSent(const WriteJob *job, bool queued);
    void showStats();
    // The value column and its header in the current format (register kinds).
    void showFormat();
    void updateWriteBlock();

    CountLimits limits_;
    WatchPage *watchPage_;
    TrendChart *trendChart_;
    QTabWidget *pages_;
    // What the exchange in flight is, for routing its answer.
    enum class Sent { None, Fields, GridWrite, WatchWrite, Block };
    Sent sent_ = Sent::None;
    bool watchWaiting_ = false;  // WatchBox ticked by a setup, the link not opened since
    int sentBlock_ = -1;  // the block read; -1 when its map was replaced meanwhile
    Setup_fields setup_;
    QHBoxLayout *portRow_;
    QHBoxLayout *pollRow_;
    std::function<int64_t()> clock_;
    bool fieldsEdited_ = true;  // a request field changed since it last passed its checks
    bool closed_ = false;
    TScan_Dlg *scanDlg_ = nullptr;  // made on first use; keeps its results
    bool scanning_ = false;
    std::function<void(const uint8_t *, size_t)> scanBytes_;
    std::function<void()> scanLost_;
};

// A labelled control in a row.
void add_labelled(QHBoxLayout *row, const QString &label, QWidget *control);
// A masked numeric field with the given digit places and initial text.
QLineEdit *make_number_field(QWidget *parent, const char *name, int places, const QString &initial);
