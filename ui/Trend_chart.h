// The trend chart: up to eight series of values against time, on a Qt
// chart with a time axis, a value axis that scales itself, and a legend
// entry "name [unit]" per series in its own colour.
//
// Controls: TrendSpan (how much of the past is shown: "1 min", "10 min",
// "1 h", "8 h"), PauseTrend (the view stays as it is while points keep
// coming) and SaveChart ("Save picture…", PNG or SVG by the name's
// extension).
//
// Points go into a Trend_store (8 h per series at most, bounded in memory)
// and only the thinned window is drawn: per pixel column its lowest and
// highest value, one path per series that breaks at every gap. Redraws
// follow new points at most every kRedrawMs, and not at all while the chart
// is out of sight, so a long run costs the window no more than a short one.
#pragma once

#include <QString>
#include <QWidget>

#include <array>
#include <vector>

#include "Trend_store.h"

class QCheckBox;
class QComboBox;
class QGraphicsPathItem;
class QGraphicsRectItem;
class QLineSeries;
class QPushButton;
class RefreshThrottle;

class QChart;
class QChartView;
class QCategoryAxis;
class QValueAxis;

class TrendChart : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRedrawMs = 200;

    explicit TrendChart(QWidget *parent = nullptr);
    ~TrendChart() override;

    // A new series with its legend entry "name [unit]" ("name" when unit
    // is empty): its number, or -1 when kTrendSeriesMax are plotted.
    int addSeries(const QString &name, const QString &unit);
    // The series leaves the chart with its points; its number and colour
    // become free.
    void removeSeries(int series);
    void removeAllSeries();
    int seriesCount() const;

    // A value read at timeMs (wall clock, ms since the epoch), or a failed
    // read there: the line breaks until the next value.
    void addPoint(int series, qint64 timeMs, double value);
    void addGap(int series, qint64 timeMs);

    // The span shown, in ms (from TrendSpan).
    qint64 spanMs() const;
    bool paused() const;

    // Draws what is due now (the benchmark measures it).
    void redraw();
    // What "Save picture…" does: asks for a name, then saveTo().
    void save();
    // Writes the chart as it is shown to name: .svg a drawing, .png a
    // picture; every refusal and failure is told in a box. True when written.
    bool saveTo(const QString &name);

    // The row of the controls, above the chart. A window short of height
    // may place it elsewhere (beside its tab bar): it keeps working there.
    QWidget *buttonRow() const { return buttonRow_; }
    const Trend_store &store() const { return store_; }
    QChart *chart() const { return chart_; }

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    struct Plotted {
        QLineSeries *legend = nullptr;  // no points: its legend entry and pen
        QGraphicsPathItem *path = nullptr;
        std::vector<Trend_point> thinned;
    };

    void pointsCame();
    // Marks the time axis from begin to end at round times.
    void markTimes(qint64 begin, qint64 end, qreal width);
    // Lays the thinned points out in the plot area as it is now.
    void layoutPaths();
    void pauseToggled(bool on);

    Trend_store store_;
    std::array<Plotted, kTrendSeriesMax> plotted_;
    QWidget *buttonRow_;
    QComboBox *span_;
    QCheckBox *pause_;
    QPushButton *save_;
    QChartView *view_;
    QChart *chart_;
    QCategoryAxis *timeAxis_;
    // The time marks shown (label, time): most redraws move the window by
    // less than a mark's step, and relabelling the axis lays it out again.
    std::vector<std::pair<QString, qint64>> timeMarks_;
    QValueAxis *valueAxis_;
    QGraphicsRectItem *plotClip_;  // the paths' parent: nothing drawn outside the plot area
    RefreshThrottle *throttle_;
    qint64 shownEndMs_ = 0;  // the right edge of the last redraw
    bool behind_ = false;    // points came while out of sight
};
