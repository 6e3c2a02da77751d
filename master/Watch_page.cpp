#include "Watch_page.h"

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "Notices.h"
#include "Refresh_throttle.h"
#include "Set_Watch_Value.h"
#include "Wall_time.h"

namespace {

enum Column { Name, Device, Address, Value, Unit, Raw, Status, Updated, Plot, kColumns };
const char *const kHeaders[kColumns] = {"Name", "Device", "Address", "Value", "Unit",
                                        "Raw", "Status", "Updated", "Plot"};

WatchFileAsker g_asker;

QString ask_with_file_dialog(QWidget *parent, WatchFile which)
{
    const QString maps = QStringLiteral("Device maps (*.csv);;All files (*)");
    switch (which) {
    case WatchFile::OpenMap:
        return QFileDialog::getOpenFileName(parent, QStringLiteral("Load map"), QString(), maps);
    case WatchFile::SaveMap: {
        QString name = QFileDialog::getSaveFileName(parent, QStringLiteral("Save map"), QString(), maps);
        if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty())
            name += QStringLiteral(".csv");
        return name;
    }
    case WatchFile::Log: {
        // A log of the same columns is continued, not replaced: the dialog
        // does not ask whether to replace it.
        QString name = QFileDialog::getSaveFileName(parent, QStringLiteral("Log values"), QString(),
                                                    QStringLiteral("CSV files (*.csv);;All files (*)"), nullptr,
                                                    QFileDialog::DontConfirmOverwrite);
        if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty())
            name += QStringLiteral(".csv");
        return name;
    }
    }
    return {};
}

std::string file_path(const QString &name) { return QFile::encodeName(name).toStdString(); }

}  // namespace

void set_watch_file_asker(WatchFileAsker asker) { g_asker = std::move(asker); }

// The map's entries, one per row, read from the Map_watch at paint time: a
// refresh only says which cells changed.
class Watch_model : public QAbstractTableModel {
public:
    Watch_model(const Map_watch *watch, std::function<bool(int row, bool on)> plotAsked, QObject *parent)
        : QAbstractTableModel(parent), watch_(watch), plotAsked_(std::move(plotAsked))
    {
    }

    int rowCount(const QModelIndex &parent) const override
    {
        return parent.isValid() ? 0 : int(watch_->entries().size());
    }
    int columnCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : kColumns; }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < kColumns)
            return QString::fromLatin1(kHeaders[section]);
        return QAbstractTableModel::headerData(section, orientation, role);
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
        if (index.column() == Plot)
            f |= Qt::ItemIsUserCheckable;
        return f;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        const int row = index.row();
        if (row < 0 || size_t(row) >= watch_->entries().size())
            return {};
        const Map_entry &e = watch_->entries()[size_t(row)];
        const Entry_reading &r = watch_->readings()[size_t(row)];
        switch (role) {
        case Qt::DisplayRole:
            return text(index.column(), e, r);
        case Qt::ToolTipRole:
            return e.description.empty() ? QVariant() : QVariant(QString::fromStdString(e.description));
        case Qt::CheckStateRole:
            if (index.column() == Plot)
                return plot_[size_t(row)] ? Qt::Checked : Qt::Unchecked;
            return {};
        case Qt::TextAlignmentRole:
            if (index.column() == Device || index.column() == Value)
                return int(Qt::AlignRight | Qt::AlignVCenter);
            return {};
        default:
            return {};
        }
    }

    bool setData(const QModelIndex &index, const QVariant &value, int role) override
    {
        if (role != Qt::CheckStateRole || index.column() != Plot || size_t(index.row()) >= plot_.size())
            return false;
        const bool on = value.toInt() == Qt::Checked;
        if (plot_[size_t(index.row())] == on || !plotAsked_(index.row(), on))
            return false;
        plot_[size_t(index.row())] = on;
        emit dataChanged(index, index, {Qt::CheckStateRole});
        return true;
    }

    // A new map: every row anew, no Plot box ticked.
    void reset()
    {
        beginResetModel();
        plot_.assign(watch_->entries().size(), false);
        endResetModel();
    }
    // The read columns of every row may have changed.
    void valuesChanged()
    {
        if (!plot_.empty())
            emit dataChanged(index(0, Value), index(int(plot_.size()) - 1, Updated), {Qt::DisplayRole});
    }
    const std::vector<bool> &plot() const { return plot_; }
    void setPlot(std::vector<bool> plot)
    {
        plot_ = std::move(plot);
        plot_.resize(watch_->entries().size(), false);
        if (!plot_.empty())
            emit dataChanged(index(0, Plot), index(int(plot_.size()) - 1, Plot), {Qt::CheckStateRole});
    }

private:
    static QVariant text(int column, const Map_entry &e, const Entry_reading &r)
    {
        switch (column) {
        case Name: return QString::fromStdString(e.name);
        case Device: return int(e.device);
        case Address: return QString::fromStdString(e.address());
        case Value: return r.raw_count ? QString::fromStdString(engineering_text(e, r.value)) : QString();
        case Unit: return QString::fromStdString(e.unit);
        case Raw: return QString::fromStdString(raw_text(e, r));
        case Status: return QString::fromStdString(read_status_text(r));
        case Updated:
            // The time of day; the date is in the log and the traffic.
            return r.raw_count ? QString::fromStdString(local_time_text(r.updated_ms).substr(11)) : QString();
        default: return {};
        }
    }

    const Map_watch *watch_;
    std::function<bool(int, bool)> plotAsked_;
    std::vector<bool> plot_;
};

WatchPage::WatchPage(Plan_limits limits, QWidget *parent) : QWidget(parent), limits_(limits)
{
    setObjectName("WatchPage");
    LoadMap = new QPushButton("Load map…", this);
    LoadMap->setObjectName("LoadMap");
    SaveMap = new QPushButton("Save map…", this);
    SaveMap->setObjectName("SaveMap");
    WatchBox = new QCheckBox("Poll the map", this);
    WatchBox->setObjectName("WatchBox");
    WatchBox->setToolTip("Read the map's entries every poll cycle, after the request fields when Poll is ticked");
    LogValues = new QPushButton("Log values…", this);
    LogValues->setObjectName("LogValues");
    LogValues->setToolTip("Append each cycle's values to a CSV file");
    StopLog = new QPushButton("Stop log", this);
    StopLog->setObjectName("StopLog");

    model_ = new Watch_model(
        &watch_,
        [this](int, bool on) {
            if (on && plotted().size() >= size_t(kMaxPlotted)) {
                show_message_box("At most " + std::to_string(kMaxPlotted) + " entries can be plotted at once");
                return false;
            }
            return true;
        },
        this);
    connect(model_, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &, const QModelIndex &, const QList<int> &roles) {
                if (roles.contains(Qt::CheckStateRole))
                    emit plotChanged();
            });

    WatchView = new QTableView(this);
    WatchView->setObjectName("WatchView");
    WatchView->setModel(model_);
    WatchView->setSelectionBehavior(QAbstractItemView::SelectRows);
    WatchView->setSelectionMode(QAbstractItemView::SingleSelection);
    WatchView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    WatchView->verticalHeader()->hide();
    WatchView->setWordWrap(false);
    // Rows of one height, so that a map of thousands of entries costs the
    // view nothing beyond the rows in sight.
    WatchView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    WatchView->verticalHeader()->setDefaultSectionSize(WatchView->fontMetrics().height() + 6);
    fitColumns();

    refresh_ = new RefreshThrottle(kRefreshMs, [this] {
        refresh_->refreshing();
        model_->valuesChanged();
    }, this);

    buttonRow_ = new QWidget(this);
    auto *buttons = new QHBoxLayout(buttonRow_);
    buttons->setContentsMargins(0, 0, 0, 0);
    for (QWidget *w : std::initializer_list<QWidget *>{LoadMap, SaveMap, WatchBox, LogValues, StopLog}) {
        w->setParent(buttonRow_);
        buttons->addWidget(w);
    }
    auto *all = new QVBoxLayout(this);
    all->setContentsMargins(0, 0, 0, 0);
    all->addWidget(WatchView, 1);

    connect(LoadMap, &QPushButton::clicked, this, &WatchPage::LoadMapClick);
    connect(SaveMap, &QPushButton::clicked, this, &WatchPage::SaveMapClick);
    connect(LogValues, &QPushButton::clicked, this, &WatchPage::LogValuesClick);
    connect(StopLog, &QPushButton::clicked, this, &WatchPage::StopLogClick);
    connect(WatchView, &QTableView::doubleClicked, this,
            [this](const QModelIndex &index) { WatchViewDblClick(index.row(), index.column()); });
    connect(WatchBox, &QCheckBox::toggled, this, [this](bool on) {
        if (on && !watch_.loaded()) {
            {
                const QSignalBlocker quiet(WatchBox);
                WatchBox->setChecked(false);
            }
            show_message_box("No map is loaded: load one with \"Load map…\" first");
            return;
        }
        emit watchChanged(on);
    });
    updateButtons();
}

WatchPage::~WatchPage() = default;

bool WatchPage::watching() const { return WatchBox->isChecked(); }

void WatchPage::stopWatching() { WatchBox->setChecked(false); }

void WatchPage::tickQuietly()
{
    if (!watch_.loaded())
        return;
    const QSignalBlocker quiet(WatchBox);
    WatchBox->setChecked(true);
}

void WatchPage::updateButtons()
{
    SaveMap->setEnabled(watch_.loaded());
    LogValues->setEnabled(watch_.loaded() && !log_.active());
    StopLog->setEnabled(log_.active());
    LoadMap->setToolTip(mapSummary());
}

QString WatchPage::mapSummary() const
{
    if (!watch_.loaded())
        return QStringLiteral("No map loaded");
    const size_t n = watch_.entries().size(), blocks = watch_.blocks().size();
    return QStringLiteral("%1: %2 entr%3, %4 request%5")
        .arg(QFileInfo(mapPath_).fileName())
        .arg(n)
        .arg(n == 1 ? "y" : "ies")
        .arg(blocks)
        .arg(blocks == 1 ? "" : "s");
}

void WatchPage::fitColumns()
{
    // Widths from the font, for the widest text each column usually holds:
    // the values change every cycle, and a view that measured its rows
    // would have to look at every one of a large map.
    const QFontMetrics fm(WatchView->font());
    constexpr int kPadding = 12;
    auto room = [&fm](const char *text) { return fm.horizontalAdvance(QString::fromUtf8(text)) + kPadding; };
    int name = room("Name");
    // The names of a large map are not all measured: the first thousand say enough.
    const auto entries = watch_.entries();
    for (size_t i = 0; i < entries.size() && i < 1000; ++i)
        name = std::max(name, fm.horizontalAdvance(QString::fromStdString(entries[i].name)) + kPadding);
    WatchView->horizontalHeader()->setMinimumSectionSize(room("Plot"));
    WatchView->setColumnWidth(Name, std::min(name, room("abcdefghijklmnopqrstuvwxyz0123")));
    WatchView->setColumnWidth(Device, room("Device"));
    WatchView->setColumnWidth(Address, room("400001"));
    WatchView->setColumnWidth(Value, room("-12345.678"));
    WatchView->setColumnWidth(Unit, room("m3/h"));
    WatchView->setColumnWidth(Raw, room("0x0000 0x0000"));
    WatchView->setColumnWidth(Status, room("exception 02"));
    WatchView->setColumnWidth(Updated, room("00:00:00.000"));
    WatchView->setColumnWidth(Plot, room("Plot"));
}

bool WatchPage::loadMap(const QString &path)
{
    Device_map map;
    if (const std::string why = map.load(file_path(path)); !why.empty()) {
        show_message_box(why);
        return false;
    }
    setMap(std::move(map), path);
    return true;
}

void WatchPage::setMap(Device_map map, const QString &path)
{
    if (map.empty())
        stopWatching();
    // The log's columns were those of the old map.
    stopLog();
    watch_.set_map(std::move(map), limits_);
    mapPath_ = watch_.loaded() ? path : QString();
    model_->reset();
    fitColumns();
    updateButtons();
    emit mapLoaded();
    emit plotChanged();
}

bool WatchPage::saveMap(const QString &path)
{
    if (const std::string why = watch_.map().save(file_path(path)); !why.empty()) {
        show_message_box(why);
        return false;
    }
    return true;
}

void WatchPage::LoadMapClick()
{
    const QString name = g_asker ? g_asker(this, WatchFile::OpenMap) : ask_with_file_dialog(this, WatchFile::OpenMap);
    if (!name.isEmpty())
        loadMap(name);
}

void WatchPage::SaveMapClick()
{
    if (!watch_.loaded())
        return;
    const QString name = g_asker ? g_asker(this, WatchFile::SaveMap) : ask_with_file_dialog(this, WatchFile::SaveMap);
    if (!name.isEmpty())
        saveMap(name);
}

std::vector<int> WatchPage::plotted() const
{
    std::vector<int> out;
    const std::vector<bool> &plot = model_->plot();
    for (size_t i = 0; i < plot.size(); ++i)
        if (plot[i])
            out.push_back(int(i));
    return out;
}

void WatchPage::setPlotted(const std::vector<int> &entries)
{
    std::vector<bool> plot(watch_.entries().size(), false);
    int n = 0;
    for (int i : entries)
        if (i >= 0 && size_t(i) < plot.size() && !plot[size_t(i)] && n < kMaxPlotted) {
            plot[size_t(i)] = true;
            ++n;
        }
    model_->setPlot(std::move(plot));
}

bool WatchPage::startLog(const QString &path)
{
    if (!watch_.loaded())
        return false;
    log_.close();
    if (const std::string why = log_.open(file_path(path), watch_.entries()); !why.empty()) {
        show_message_box(why);
        updateButtons();
        return false;
    }
    updateButtons();
    return true;
}

void WatchPage::stopLog()
{
    log_.close();
    updateButtons();
}

void WatchPage::LogValuesClick()
{
    if (!watch_.loaded() || log_.active())
        return;
    const QString name = g_asker ? g_asker(this, WatchFile::Log) : ask_with_file_dialog(this, WatchFile::Log);
    if (!name.isEmpty())
        startLog(name);
}

void WatchPage::StopLogClick() { stopLog(); }

void WatchPage::valuesChanged() { refresh_->schedule(); }

void WatchPage::cycleDone(int64_t wallMs)
{
    if (log_.active() && log_.write_cycle(wallMs, watch_.entries(), watch_.readings()) == Value_log::Result::Failed) {
        // The log stops before the box: the cycles going on under it find
        // no log to write to.
        const std::string why = log_.error();
        updateButtons();
        show_message_box(why);
    }
    emit cycleCompleted(wallMs);
}

void WatchPage::WatchViewDblClick(int row, int column)
{
    if (column != Value || row < 0 || size_t(row) >= watch_.entries().size())
        return;
    // A copy: the dialog runs the event loop, where another map may come.
    const Map_entry entry = watch_.entries()[size_t(row)];
    if (!entry.writable) {
        show_message_box(entry.name + ": read-only");
        return;
    }
    const QString current = model_->data(model_->index(row, Value), Qt::DisplayRole).toString();
    TSet_WatchValueDlg dialog(this);
    EncodedValue value;
    if (dialog.AskEngineeringValue(entry, current, value) != 0)
        return;
    if (writer_)
        writer_(entry, value);
}
