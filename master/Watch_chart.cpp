#include "Watch_chart.h"

#include <algorithm>

#include "Trend_chart.h"
#include "Wall_time.h"
#include "Watch_page.h"

WatchChart::WatchChart(WatchPage *watch, TrendChart *chart, QObject *parent)
    : QObject(parent), watch_(watch), chart_(chart)
{
    // A new map's entries are others, even where their numbers are the same.
    connect(watch_, &WatchPage::mapLoaded, this, &WatchChart::mapLoaded);
    connect(watch_, &WatchPage::plotChanged, this, &WatchChart::plotChanged);
    connect(watch_, &WatchPage::cycleCompleted, this, &WatchChart::cycleCompleted);
    connect(watch_, &WatchPage::watchChanged, this, &WatchChart::watchChanged);
    plotChanged();
}

void WatchChart::mapLoaded()
{
    chart_->removeAllSeries();
    plots_.clear();
}

void WatchChart::plotChanged()
{
    const std::vector<int> wanted = watch_->plotted();
    std::erase_if(plots_, [&](const Plot &p) {
        if (std::find(wanted.begin(), wanted.end(), p.entry) != wanted.end())
            return false;
        chart_->removeSeries(p.series);
        return true;
    });
    const auto entries = watch_->watch().entries();
    for (int e : wanted) {
        if (e < 0 || size_t(e) >= entries.size() ||
            std::any_of(plots_.begin(), plots_.end(), [e](const Plot &p) { return p.entry == e; }))
            continue;
        const Map_entry &entry = entries[size_t(e)];
        const int series = chart_->addSeries(QString::fromStdString(entry.name), QString::fromStdString(entry.unit));
        if (series >= 0)  // the Watch page ticks no more than the chart holds
            plots_.push_back({.entry = e, .series = series});
    }
}

void WatchChart::cycleCompleted(qint64 wallMs)
{
    const auto readings = watch_->watch().readings();
    for (const Plot &p : plots_) {
        const Entry_reading &r = readings[size_t(p.entry)];
        if (r.fresh)
            chart_->addPoint(p.series, r.updated_ms, r.value);
        else
            chart_->addGap(p.series, wallMs);
    }
}

void WatchChart::watchChanged(bool on)
{
    if (on)
        return;
    const int64_t now = wall_clock_ms();
    for (const Plot &p : plots_)
        chart_->addGap(p.series, now);
}
