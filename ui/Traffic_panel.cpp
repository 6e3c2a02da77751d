#include "Traffic_panel.h"

#include "Notices.h"
#include "Pcap_writer.h"
#include "Refresh_throttle.h"
#include "Traffic_csv.h"
#include "Traffic_history.h"

#include <QAbstractListModel>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QTableView>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

// The rows of the view are the history's events first_ .. end_ - 1 by
// sequence number; sync() brings them up to the history's, telling the view
// in one insertion and one removal (or one reset) per refresh.
class Traffic_model : public QAbstractListModel {
public:
    Traffic_model(const Traffic_history *history, QObject *parent)
        : QAbstractListModel(parent), history_(history), first_(history->first_seq()),
          end_(history->first_seq())
    {
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : int(end_ - first_);
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid())
            return {};
        if (role != Qt::DisplayRole)
            return {};
        // A row the history has dropped since the last refresh shows empty
        // until the refresh takes it away.
        const Traffic_event *e = history_->find(first_ + uint64_t(index.row()));
        return e ? QString::fromStdString(history_->line(*e)) : QString();
    }

    // Returns how many rows left the top (they were dropped from the history).
    int sync()
    {
        const uint64_t first = history_->first_seq(), end = history_->end_seq();
        if (first == first_ && end == end_)
            return 0;
        if (first >= end_) {
            // Nothing shown is left (a clear, or more new lines than the
            // history holds): start over, which costs the view less than
            // removing and inserting every row.
            const int gone = rowCount();
            beginResetModel();
            first_ = first;
            end_ = end;
            endResetModel();
            return gone;
        }
        int gone = 0;
        if (first > first_) {
            gone = int(first - first_);
            beginRemoveRows(QModelIndex(), 0, gone - 1);
            first_ = first;
            endRemoveRows();
        }
        if (end > end_) {
            beginInsertRows(QModelIndex(), rowCount(), rowCount() + int(end - end_) - 1);
            end_ = end;
            endInsertRows();
        }
        return gone;
    }

private:
    const Traffic_history *history_;
    uint64_t first_, end_;
};

namespace {

SaveNameAsker g_asker;

QString ask_with_file_dialog(QWidget *parent, const QStringList &nameFilters)
{
    QFileDialog dialog(parent, QStringLiteral("Save traffic"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(nameFilters);
    // A name typed without an extension takes the chosen type's.
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString &filter) {
        dialog.setDefaultSuffix(filter.contains(QLatin1String("*.pcap")) ? QStringLiteral("pcap")
                                                                          : QStringLiteral("csv"));
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

}  // namespace

void set_save_name_asker(SaveNameAsker asker) { g_asker = std::move(asker); }

TrafficPanel::TrafficPanel(Traffic_history *history, QWidget *parent)
    : QWidget(parent), history_(history)
{
    model_ = new Traffic_model(history_, this);

    // A table of one column, not a list: a list view lays out every row
    // again on each change (some 35 ms at 100 000 rows), a table's rows of
    // one fixed height cost next to nothing.
    view_ = new QTableView(this);
    view_->setObjectName(QStringLiteral("TrafficView"));
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    const QFontMetrics metrics(view_->font());
    // Glyphs advance by fractions of a pixel: whole pixels would fall short
    // by a character every few dozen.
    charWidth_ = std::max(QFontMetricsF(view_->font()).horizontalAdvance(QLatin1Char('0')), 1.0);
    view_->horizontalHeader()->hide();
    view_->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view_->verticalHeader()->hide();
    view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view_->verticalHeader()->setMinimumSectionSize(1);
    view_->verticalHeader()->setDefaultSectionSize(metrics.height() + 2);
    view_->setShowGrid(false);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);  // within the one column
    view_->setTextElideMode(Qt::ElideNone);
    view_->setWordWrap(false);
    view_->setModel(model_);
    view_->viewport()->installEventFilter(this);

    auto *copy = new QAction(QStringLiteral("Copy"), view_);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, &TrafficPanel::copySelection);
    view_->addAction(copy);
    view_->setContextMenuPolicy(Qt::ActionsContextMenu);

    buttonRow_ = new QWidget(this);
    save_ = new QPushButton(QStringLiteral("Save traffic\u2026"), buttonRow_);
    save_->setObjectName(QStringLiteral("SaveTraffic"));
    clear_ = new QPushButton(QStringLiteral("Clear"), buttonRow_);
    clear_->setObjectName(QStringLiteral("ClearTraffic"));
    connect(save_, &QPushButton::clicked, this, &TrafficPanel::save);
    connect(clear_, &QPushButton::clicked, this, [this] {
        history_->clear();
        refresh();
    });

    auto *buttons = new QHBoxLayout(buttonRow_);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addStretch(1);
    buttons->addWidget(save_);
    buttons->addWidget(clear_);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_, 1);
    layout->addWidget(buttonRow_);

    refresh_ = new RefreshThrottle(kRefreshMs, [this] {
        // A panel out of sight (its page not the current one) catches up
        // when it is shown: a busy station pays nothing for the view then.
        if (isVisible())
            refresh();
        else
            behind_ = true;
    }, this);
    history_->set_listener([this] { refresh_->schedule(); });
    refresh();
}

TrafficPanel::~TrafficPanel() { history_->set_listener({}); }

void TrafficPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (behind_)
        refresh();
}

void TrafficPanel::refresh()
{
    behind_ = false;
    refresh_->refreshing();
    QScrollBar *bar = view_->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    const int top = view_->indexAt(QPoint(0, 0)).row();
    const int gone = model_->sync();
    fitColumn();
    if (model_->rowCount() == 0)
        return;
    if (following) {
        view_->scrollToBottom();
    } else if (gone > 0 && top >= 0) {
        // The operator reads older lines: keep the same ones in sight while
        // the oldest leave the history.
        view_->scrollTo(model_->index(std::max(top - gone, 0)), QAbstractItemView::PositionAtTop);
    }
}

void TrafficPanel::fitColumn()
{
    // The longest line the history holds whole, and at least the view's
    // width (a selected line is marked across the view). No line is near
    // the bound, which keeps the width within an int whatever a note holds.
    const double widest = double(std::min<size_t>(history_->longest_line(), 100000));
    view_->setColumnWidth(0, std::max(view_->viewport()->width(), int(std::ceil((widest + 2) * charWidth_))));
}

bool TrafficPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == view_->viewport() && event->type() == QEvent::Resize)
        fitColumn();
    return QWidget::eventFilter(watched, event);
}

void TrafficPanel::copySelection()
{
    QModelIndexList rows = view_->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end());
    QStringList lines;
    for (const QModelIndex &row : rows)
        lines << row.data().toString();
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

void TrafficPanel::save()
{
    QStringList filters{QStringLiteral("CSV file (*.csv)")};
    if (pcap_refusal(*history_).empty())
        filters << QStringLiteral("Capture for Wireshark (*.pcap)");
    const QString name = g_asker ? g_asker(this, filters) : ask_with_file_dialog(this, filters);
    if (!name.isEmpty())
        saveTo(name);
}

bool TrafficPanel::saveTo(const QString &name)
{
    const QString type = QFileInfo(name).suffix().toLower();
    const std::string path = QFile::encodeName(name).toStdString();
    Save_result result;
    if (type == QLatin1String("csv")) {
        result = save_traffic_csv(*history_, path);
    } else if (type == QLatin1String("pcap")) {
        if (const std::string why = pcap_refusal(*history_); !why.empty()) {
            show_message_box(why);
            return false;
        }
        result = save_traffic_pcap(*history_, path);
    } else {
        show_message_box("Traffic is saved as .csv (for a spreadsheet) or .pcap (for Wireshark): "
                         "name the file with one of these extensions.");
        return false;
    }
    if (!result.ok) {
        show_message_box(result.error);
        return false;
    }
    if (!result.remark.empty())
        show_message_box(result.remark);
    return true;
}
