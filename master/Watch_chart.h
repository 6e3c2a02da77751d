// The Chart page of a master station follows its Watch page: each entry
// whose Plot box is ticked is a series of the trend chart (name [unit]), and
// each completed poll cycle adds the entry's value, or a gap where its read
// failed. When watching stops, every line breaks there, so that the next
// run's first value is not joined to the last one of this.
#pragma once

#include <QObject>
#include <vector>

class TrendChart;
class WatchPage;

class WatchChart : public QObject {
public:
    // Both must outlive this (it is a child of one of them).
    WatchChart(WatchPage *watch, TrendChart *chart, QObject *parent);

private:
    void plotChanged();
    void mapLoaded();
    void cycleCompleted(qint64 wallMs);
    void watchChanged(bool on);

    struct Plot {
        int entry;   // index into the map's entries
        int series;  // the chart's series number
    };
    WatchPage *watch_;
    TrendChart *chart_;
    std::vector<Plot> plots_;
};
