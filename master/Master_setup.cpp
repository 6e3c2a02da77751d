// The master stations' setup keys of the Watch and Chart pages: the map's
// path, WatchBox, the Plot choices and the chart's span.
#include <QComboBox>
#include <QFile>
#include <memory>
#include <stdexcept>

#include "Device_map.h"
#include "Master_window.h"
#include "Notices.h"

namespace {

// The map a setup names, read while the setup's keys are checked and taken
// once every key has passed: a map that does not load changes nothing, and
// the keys after it (WatchBox, Plot) are checked against the map they are for.
struct Map_to_take {
    Device_map map;
    QString path;
};

}  // namespace

void MasterWindow::addWatchSetup()
{
    auto next = std::make_shared<Map_to_take>();
    setup_.add({.key = {.name = "map"},
                .read = [this] { return Setup_value(QFile::encodeName(watchPage_->mapPath()).toStdString()); },
                .write =
                    [this, next](const Setup_value &) {
                        // The map on show already keeps its readings and its
                        // value log; no map stays no map, without a word.
                        const Map_watch &shown = watchPage_->watch();
                        if (next->map.empty() ? shown.loaded()
                                              : next->path != watchPage_->mapPath() ||
                                                    next->map.text() != shown.map().text())
                            watchPage_->setMap(std::move(next->map), next->path);
                        next->map = Device_map{};
                    },
                .check =
                    [next](const Setup_value &v) {
                        const std::string &path = std::get<std::string>(v);
                        next->map = Device_map{};
                        next->path = QFile::decodeName(path.c_str());
                        return path.empty() ? std::string() : next->map.load(path);
                    },
                .file_path = true});
    setup_.add({.key = {.name = "watch"},
                .read = [this] { return Setup_value(watchPage_->watching()); },
                .write = [this](const Setup_value &v) { restoreWatch(std::get<bool>(v)); },
                .check = [next](const Setup_value &v) {
                    return std::get<bool>(v) && next->map.empty() ? std::string("no map to poll: map names none")
                                                                  : std::string();
                }});
    // The Plot choices by name: a map edited since still gets its plots.
    setup_.add({.key = {.name = "plot", .max_length = 64, .max_items = size_t(WatchPage::kMaxPlotted)},
                .read =
                    [this] {
                        Setup_texts names;
                        for (int i : watchPage_->plotted())
                            names.push_back(watchPage_->watch().entries()[size_t(i)].name);
                        return Setup_value(std::move(names));
                    },
                .write =
                    [this](const Setup_value &v) {
                        const Device_map &map = watchPage_->watch().map();
                        std::vector<int> entries;
                        for (const std::string &name : std::get<Setup_texts>(v))
                            if (const Map_entry *e = map.find(name))
                                entries.push_back(int(e - map.entries().data()));
                        watchPage_->setPlotted(entries);
                    },
                .check = [next](const Setup_value &v) {
                    for (const std::string &name : std::get<Setup_texts>(v))
                        if (!next->map.find(name))
                            return name + ": no entry of that name in the map";
                    return std::string();
                }});
    auto *span = findChild<QComboBox *>(QStringLiteral("TrendSpan"));
    if (!span)
        throw std::logic_error("the Chart page has no TrendSpan");
    setup_.add_choice("chart_span", span);
}

void MasterWindow::restoreWatch(bool on)
{
    if (!on) {
        watchPage_->stopWatching();
        return;
    }
    // Polled already, the map goes on being polled (the new map's blocks).
    if (watchPage_->watching())
        return;
    // Opening a setup never starts traffic: the tick waits for the link,
    // which the operator opens. An open link would be polled at once, so
    // the box is left for the operator to tick.
    if (linkOpen()) {
        show_status_message("Setup opened: tick \"Poll the map\" to poll it");
        return;
    }
    watchPage_->tickQuietly();
    watchWaiting_ = true;
    show_status_message("The map is polled once the link is open");
}

void MasterWindow::linkOpened()
{
    const bool start = watchWaiting_ && watchPage_->watching();
    watchWaiting_ = false;
    if (start)
        watchChanged(true);
}
