// The master stations' Watch page: a device map's named values as they are
// read, in the table WatchView (Name, Device, Address, Value, Unit, Raw,
// Status, Updated, Plot; an entry's description is its row's tooltip), and
// a row of controls: LoadMap ("Load map…"), SaveMap ("Save map…"), WatchBox
// ("Poll the map"), LogValues ("Log values…") and StopLog ("Stop log"). A
// double click on a writable entry's value asks for a new one in engineering
// units and hands it to the station's writer.
//
// The page holds the map and its readings (a Map_watch) and the value log;
// the station does the exchanges, hands each block's answer to watch(), and
// tells the page when a cycle has read every block (cycleDone). What other
// pages need of it:
//   plotted()         the entries whose Plot box is ticked (at most kMaxPlotted)
//   plotChanged()     a Plot box changed, or a new map came (every box clear)
//   cycleCompleted()  a cycle read every block: watch().readings() hold its
//                     values, fresh for the entries read well in it
#pragma once

#include <QWidget>
#include <functional>
#include <vector>

#include "Map_watch.h"
#include "Value_log.h"

class QCheckBox;
class QPushButton;
class QTableView;
class RefreshThrottle;
class Watch_model;

// Asks the operator for a file name; empty when cancelled. The program asks
// with the file dialog; tests install an answer.
enum class WatchFile { OpenMap, SaveMap, Log };
using WatchFileAsker = std::function<QString(QWidget *parent, WatchFile which)>;
void set_watch_file_asker(WatchFileAsker asker);  // empty: the file dialog

class WatchPage : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxPlotted = 8;
    static constexpr int kRefreshMs = 100;

    // limits: the station's largest requests, for planning the map's reads.
    explicit WatchPage(Plan_limits limits, QWidget *parent = nullptr);
    ~WatchPage() override;

    // The row of controls. The window places it beside its page tabs, where
    // the traffic's buttons are: the station is short of height.
    QWidget *buttonRow() const { return buttonRow_; }
    // "pump.csv: 20 entries, 5 requests", or "No map loaded".
    QString mapSummary() const;

    const Map_watch &watch() const { return watch_; }
    Map_watch &watch() { return watch_; }
    // WatchBox ticked (a map is loaded then).
    bool watching() const;
    void stopWatching();
    // Ticks WatchBox without saying so (watchChanged): a setup's tick, which
    // the station holds until its link opens. Needs a map.
    void tickQuietly();

    // Loads the map at path, replacing the one watched, or shows a box
    // naming the line at fault and changes nothing. true when loaded.
    bool loadMap(const QString &path);
    // Replaces the map watched by one read already (from path); an empty
    // map takes the page back to no map, and stops watching first.
    void setMap(Device_map map, const QString &path);
    bool saveMap(const QString &path);
    const QString &mapPath() const { return mapPath_; }

    // Entries (indexes into watch().entries(), ascending) whose Plot box is
    // ticked; setPlotted ticks these (beyond kMaxPlotted, the first only).
    std::vector<int> plotted() const;
    void setPlotted(const std::vector<int> &entries);

    // Appends a line per completed cycle to path (Value_log's rules), or
    // shows a box saying why not. true when logging.
    bool startLog(const QString &path);
    void stopLog();
    bool logging() const { return log_.active(); }

    // The station's side: the values of some entries changed (shown within
    // kRefreshMs); a cycle read every block at wallMs.
    void valuesChanged();
    void cycleDone(int64_t wallMs);

    // Writes the value the operator asked for on the Watch page.
    using Writer = std::function<void(const Map_entry &entry, const EncodedValue &value)>;
    void setWriter(Writer writer) { writer_ = std::move(writer); }

public slots:
    void LoadMapClick();
    void SaveMapClick();
    void LogValuesClick();
    void StopLogClick();
    // A double click on an entry's value: asks for a new one and writes it.
    void WatchViewDblClick(int row, int column);

signals:
    // WatchBox changed; never ticked without a map.
    void watchChanged(bool on);
    // A new map replaced the one watched (its blocks differ).
    void mapLoaded();
    void plotChanged();
    void cycleCompleted(qint64 wallMs);

private:
    void updateButtons();
    void fitColumns();

    Map_watch watch_;
    Plan_limits limits_;
    Value_log log_;
    QString mapPath_;
    Writer writer_;

    QPushButton *LoadMap, *SaveMap, *LogValues, *StopLog;
    QCheckBox *WatchBox;
    QWidget *buttonRow_;
    QTableView *WatchView;
    Watch_model *model_;
    RefreshThrottle *refresh_;
};
