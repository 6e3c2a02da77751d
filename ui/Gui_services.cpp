#include "Gui_services.h"

#include <QFontDatabase>
#include <QHeaderView>
#include <QMessageBox>
#include <QStyle>
#include <algorithm>
#include <utility>

#include "Notices.h"
#include "Refresh_throttle.h"
#include "corvane.h"

StringGrid::StringGrid(QWidget *parent) : QTableWidget(parent)
{
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    verticalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(20);
    // The header stands in for row 0: it shows the headings as the cells
    // did (left-aligned, never bold for the current column) and a click on
    // it selects nothing.
    QHeaderView *header = horizontalHeader();
    header->setDefaultSectionSize(64);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    header->setSectionsClickable(false);
    repaint_ = new RefreshThrottle(kRepaintMs, [this] { repaintChanged(); }, this);
    const QAbstractItemModel *m = model();
    connect(m, &QAbstractItemModel::rowsInserted, this, &StringGrid::headingsChanged);
    connect(m, &QAbstractItemModel::rowsRemoved, this, &StringGrid::headingsChanged);
    connect(m, &QAbstractItemModel::columnsInserted, this, &StringGrid::headingsChanged);
    connect(m, &QAbstractItemModel::columnsRemoved, this, &StringGrid::headingsChanged);
    connect(m, &QAbstractItemModel::modelReset, this, &StringGrid::headingsChanged);
}

StringGrid::~StringGrid()
{
    // The table's model is deleted with the QTableWidget base, after this
    // part is gone; it resets on the way and must not reach headingsChanged.
    disconnect(model(), nullptr, this, nullptr);
}

void StringGrid::headingsChanged()
{
    // A row 0 that is new (the grid was empty) is shown until hidden again.
    if (QTableWidget::rowCount() > 0 && !isRowHidden(0))
        setRowHidden(0, true);
    showHeadings(0, columnCount() - 1);
}

void StringGrid::showHeadings(int first, int last)
{
    for (int c = std::max(first, 0); c <= last && c < columnCount(); ++c) {
        const QString text = cellText(c, 0);
        // Every column gets a header item, an empty one too: without one the
        // header would show its own column numbers.
        QTableWidgetItem *heading = horizontalHeaderItem(c);
        if (!heading) {
            heading = new QTableWidgetItem(text);
            setHorizontalHeaderItem(c, heading);
        } else if (heading->text() != text) {
            heading->setText(text);
        }
    }
}

void StringGrid::selectCell(int col, int row)
{
    if (row < 1) {
        setCurrentCell(-1, -1);
        return;
    }
    setCurrentCell(row, col);
}

void StringGrid::dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles)
{
    if (topLeft.isValid() && topLeft.row() == 0)
        showHeadings(topLeft.column(), bottomRight.column());
    if (topLeft != bottomRight || !topLeft.isValid() || changed_.size() >= 4096) {
        // A range (or a flood of single cells): the view repaints all of it.
        changed_.clear();
        QTableWidget::dataChanged(topLeft, bottomRight, roles);
        return;
    }
    changed_.insert(quint64(topLeft.row()) << 32 | quint64(topLeft.column()));
    repaint_->schedule();
}

void StringGrid::repaintChanged()
{
    repaint_->refreshing();
    const QSet<quint64> cells = std::exchange(changed_, {});
    for (quint64 key : cells) {
        const QModelIndex index = model()->index(int(key >> 32), int(key & 0xFFFFFFFF));
        if (index.isValid())
            QTableWidget::dataChanged(index, index);
    }
}

QString StringGrid::cellText(int col, int row) const
{
    if (beforeRead_)
        beforeRead_();
    const QTableWidgetItem *it = item(row, col);
    return it ? it->text() : QString();
}

std::string StringGrid::cell(int col, int row) const { return cellText(col, row).toStdString(); }

void StringGrid::setCell(int col, int row, const std::string &text)
{
    if (col < 0 || row < 0 || col >= columnCount() || row >= QTableWidget::rowCount())
        return;
    QTableWidgetItem *it = item(row, col);
    if (!it) {
        if (text.empty())
            return;
        it = new QTableWidgetItem;
        it->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        setItem(row, col, it);
    }
    // A polled grid mostly gets the text it has: that costs a comparison,
    // not a conversion and a model change.
    if (QAnyStringView::equal(it->text(), QUtf8StringView(text.data(), qsizetype(text.size()))))
        return;
    it->setText(QString::fromStdString(text));
}

void StringGrid::showHint(bool on) { setToolTip(on ? hint_ : QString()); }

void StringGrid::widenColumnToText(int col)
{
    if (col < 0 || col >= columnCount())
        return;
    const QFontMetrics metrics(font());
    int widest = 0;
    for (int r = 1; r < QTableWidget::rowCount(); ++r)
        if (const QTableWidgetItem *it = item(r, col))
            widest = std::max(widest, metrics.horizontalAdvance(it->text()));
    // The item delegate keeps a margin on either side of the text and the grid
    // line takes a pixel; text measured in whole pixels may still be a
    // fraction wider, so half a character is added.
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    int need = widest + 2 * margin + 1 + metrics.averageCharWidth() / 2;
    // The heading is shown in the header, in the header's font and margins.
    if (QTableWidget::rowCount() > 0 && !cellText(col, 0).isEmpty())
        need = std::max(need, horizontalHeader()->sectionSizeHint(col) + metrics.averageCharWidth() / 2);
    if (columnWidth(col) < need)
        setColumnWidth(col, need);
}

Memo::Memo(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setMaximumBlockCount(2000);  // a long-running station never grows without bound
    setLineWrapMode(QPlainTextEdit::NoWrap);
    refresh_ = new RefreshThrottle(kRefreshMs, [this] { flush(); }, this);
}

void Memo::add(const QString &line)
{
    // Lines the memo would drop anyway (beyond its block count) are not kept.
    if (pending_.size() >= maximumBlockCount()) {
        pending_.removeFirst();
        pendingClear_ = true;
    }
    pending_.append(line);
    refresh_->schedule();
}

void Memo::clear()
{
    pending_.clear();
    pendingClear_ = true;
    refresh_->schedule();
}

void Memo::flush()
{
    refresh_->refreshing();
    if (!pendingClear_ && pending_.isEmpty())
        return;
    // One document change for everything waiting: a line holding a line
    // break becomes two lines, as appendPlainText() makes it.
    if (pendingClear_)
        QPlainTextEdit::clear();
    if (!pending_.isEmpty())
        appendPlainText(pending_.join(QLatin1Char('\n')));
    pending_.clear();
    pendingClear_ = false;
}

QStringList Memo::lines() const
{
    const_cast<Memo *>(this)->flush();
    const QString all = toPlainText();
    if (all.isEmpty())
        return {};
    return all.split(QLatin1Char('\n'));
}

long read_decimal_field(const QLineEdit *edit)
{
    // A masked field is read with its blanks in place, as the stations expect
    // of a masked edit: QLineEdit::text() drops the unfilled places of a mask
    // altogether, which would read "1 2" as 12. displayText() keeps them, shown
    // as the mask's blank character (after the ';'), read here as a blank.
    QString text = edit->text();
    const QString mask = edit->inputMask();
    if (!mask.isEmpty() && edit->echoMode() == QLineEdit::Normal) {
        text = edit->displayText();
        const int semi = mask.lastIndexOf(QLatin1Char(';'));
        if (semi >= 0 && semi + 1 < mask.size())
            text.replace(mask.at(semi + 1), QLatin1Char(' '));
    }
    int i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('_')))
        ++i;
    long value = 0;
    for (; i < text.size() && text[i].isDigit() && value < 100000000; ++i)
        value = value * 10 + (text[i].unicode() - '0');
    return value;
}

namespace {
void library_box(const char *text, const char *caption, void *)
{
    show_message_box(text ? text : "", caption ? caption : "");
}
}  // namespace

void install_qt_message_boxes()
{
    set_message_box_sink([](const std::string &text, const std::string &caption) {
        // No parent: the box belongs to no window, like the system's own
        // message box; exec() makes it application modal. The text is never
        // taken as rich text.
        QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                        QString::fromStdString(text), QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    });
    corvane_set_message_handler(library_box, nullptr);
}

long read_decimal_field_ignoring_blanks(const QLineEdit *edit)
{
    // displayText() keeps every place of a mask, an unfilled one shown as the
    // mask's blank character (after the ';'); both it and a typed blank are
    // passed over. A password field shows nothing of its text, so its text()
    // is read instead.
    const QString text = edit->echoMode() == QLineEdit::Normal ? edit->displayText() : edit->text();
    const QString mask = edit->inputMask();
    const int semi = mask.lastIndexOf(QLatin1Char(';'));
    const QChar blank = semi >= 0 && semi + 1 < mask.size() ? mask.at(semi + 1) : QLatin1Char(' ');
    long value = 0;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ') || c == blank)
            continue;
        if (c < QLatin1Char('0') || c > QLatin1Char('9') || value >= 100000000)
            break;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}
