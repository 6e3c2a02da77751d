// The traffic history of a station on screen: the view TrafficView (read
// only, newest line at the bottom, following the end unless the operator has
// scrolled up) and the buttons SaveTraffic ("Save traffic…", to .csv or
// .pcap by the name's extension) and ClearTraffic ("Clear").
//
// Like the memos, the view takes new lines at the end of the event-loop turn
// and, while lines keep coming, at most every kRefreshMs: adding to the
// history only starts a timer. The view reads the lines from the history
// itself and formats only those in sight, so a full history of 100 000
// lines costs a refresh a few milliseconds and no copy. The panel is the
// history's one listener while it lives.
#pragma once

#include <QStringList>
#include <QWidget>

#include <functional>

class QTableView;
class QPushButton;
class RefreshThrottle;
class Traffic_history;
class Traffic_model;

// Asks the operator for the name to save under; empty when cancelled. The
// program asks with a file dialog; tests install an answer.
using SaveNameAsker = std::function<QString(QWidget *parent, const QStringList &nameFilters)>;
void set_save_name_asker(SaveNameAsker asker);  // empty: the file dialog

class TrafficPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 20;

    // The history must outlive the panel.
    explicit TrafficPanel(Traffic_history *history, QWidget *parent = nullptr);
    ~TrafficPanel() override;

    QTableView *view() const { return view_; }
    // The row of the two buttons, below the view. A window short of height
    // may place it elsewhere (beside its tab bar): it keeps working there.
    QWidget *buttonRow() const { return buttonRow_; }
    // Shows what is waiting now.
    void refresh();
    // What "Save traffic…" does: asks for a name, then saveTo().
    void save();
    // Saves the history under name, as CSV or capture by its extension;
    // every refusal and failure is told in a box. True when written.
    bool saveTo(const QString &name);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void fitColumn();
    void copySelection();

    Traffic_history *history_;
    Traffic_model *model_;
    QTableView *view_;
    QPushButton *save_;
    QPushButton *clear_;
    QWidget *buttonRow_;
    RefreshThrottle *refresh_;
    double charWidth_ = 8;  // of the view's fixed-width font
    bool behind_ = false;  // lines came while the panel was out of sight
};
