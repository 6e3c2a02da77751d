// Qt stand-ins for the controls every window uses.
//
// StringGrid: a QTableWidget addressed by (column, row) like the station code
// expects, with cells created on first use. Row 0 holds the headings: it stays
// in the model (cell(col, 0) reads and writes them) but is hidden, and its
// texts are shown in the horizontal header, so they stay in view while the
// data rows scroll and can never be selected. Memo: a read-only, fixed-width
// QPlainTextEdit to which whole lines are appended.
#pragma once

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSet>
#include <QStringList>
#include <QTableWidget>
#include <functional>

#include "Text_grid.h"

class RefreshThrottle;

class StringGrid : public QTableWidget, public TextGrid {
    Q_OBJECT
public:
    explicit StringGrid(QWidget *parent = nullptr);
    ~StringGrid() override;

    int rowCount() const override { return QTableWidget::rowCount(); }
    int colCount() const override { return QTableWidget::columnCount(); }
    void setRowCount(int rows) override { QTableWidget::setRowCount(rows); }
    void setColCount(int cols) override { QTableWidget::setColumnCount(cols); }
    void setColWidth(int col, int pixels) override { setColumnWidth(col, pixels); }
    std::string cell(int col, int row) const override;
    void setCell(int col, int row, const std::string &text) override;

    QString cellText(int col, int row) const;
    // Called before cell() and cellText() read a cell: an owner that brings
    // rows up to date lazily does it there.
    void setBeforeRead(std::function<void()> f) { beforeRead_ = std::move(f); }
    // The selected cell, as the station code reads it (column, row).
    int selectedCol() const { return currentColumn(); }
    int selectedRow() const { return currentRow(); }
    // Selecting a heading (row 0) selects nothing: no cell is current.
    void selectCell(int col, int row);
    // The grid's hint ("Double click to set value") shown on hover or not.
    void setHintText(const QString &hint) { hint_ = hint; }
    void showHint(bool on);
    // Widens column col (never narrows it) so that its widest text shows
    // whole: a column laid out in design pixels may be too narrow for the
    // desktop's font.
    void widenColumnToText(int col);

    // A cell's new text is in the grid at once; its repaint waits for the
    // end of the event-loop turn and, while cells keep changing, comes at
    // most every kRepaintMs, all changed cells together. A slave station
    // whose registers are written hundreds of times a second thus paints
    // its grid once per refresh instead of once per request.
    static constexpr int kRepaintMs = 20;
    // Repaints the changed cells now (the benchmark measures what it costs).
    void repaintChanged();

protected:
    void dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                     const QList<int> &roles = QList<int>()) override;

private:
    // Shows the row-0 texts of columns first to last in the header.
    void showHeadings(int first, int last);
    // After rows or columns come or go: row 0 hidden, every heading shown.
    void headingsChanged();

    QString hint_;
    std::function<void()> beforeRead_;
    QSet<quint64> changed_;  // row << 32 | column of cells waiting for their repaint
    RefreshThrottle *repaint_;
};

// The memo's lines are taken at once and shown at the end of the event-loop
// turn; while lines keep coming, at most every kRefreshMs. A station serving
// hundreds of requests a second (each clearing its memos and adding lines)
// thus lays out and paints its logs once per refresh instead of once per
// request; what is shown after each refresh is the same. lines() always
// gives the whole content, including what is not shown yet.
class Memo : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 20;

    explicit Memo(QWidget *parent = nullptr);
    void add(const QString &line);
    void add(const std::string &line) { add(QString::fromStdString(line)); }
    void add(const char *line) { add(QString::fromUtf8(line)); }
    // Empties the memo (hides QPlainTextEdit::clear, which would bypass what
    // is waiting to be shown).
    void clear();
    QStringList lines() const;
    // Shows what is waiting now.
    void flush();

private:
    QStringList pending_;        // lines added since the last refresh
    bool pendingClear_ = false;  // the memo was emptied before them
    RefreshThrottle *refresh_;
};

// Masked edit fields are QLineEdits with an input mask. Two differences from
// the masked edit the station code was written for:
//  - the mask letters for digits are the other way round: in Qt '9' is a
//    required digit and '0' an optional one (the designer's masks use '9' for
//    optional);
//  - QLineEdit::text() leaves out the unfilled places, where a masked edit
//    gives blanks; read_decimal_field() reads the field with its blanks.

// A masked numeric field read as the stations read it: leading blanks skipped,
// digits up to the first other character (a blank included), nothing gives 0
// (kept in 32 bits; callers keep the 16 bits they need).
long read_decimal_field(const QLineEdit *edit);

// Routes the program's and the link library's message boxes to modal Qt boxes
// (no owner, one OK button, no icon, the caption as window title).
void install_qt_message_boxes();

// A masked numeric field read with the mask's blanks ignored wherever they
// stand, so that "1 2" reads 12: digits up to the first other character, an
// empty field gives 0 (kept in 32 bits; callers keep the 16 bits they need).
// The Master RTU station reads its request fields so.
long read_decimal_field_ignoring_blanks(const QLineEdit *edit);
