#include "Gui_services.h"

#include <QFontDatabase>
#include <QHeaderView>
#include <QMessageBox>
#include <QStyle>
#include <algorithm>

#include "Notices.h"
#include "corvane.h"

StringGrid::StringGrid(QWidget *parent) : QTableWidget(parent)
{
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    verticalHeader()->setVisible(false);
    horizontalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(20);
    horizontalHeader()->setDefaultSectionSize(64);
}

QString StringGrid::cellText(int col, int row) const
{
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
    it->setText(QString::fromStdString(text));
}

void StringGrid::showHint(bool on) { setToolTip(on ? hint_ : QString()); }

void StringGrid::widenColumnToText(int col)
{
    if (col < 0 || col >= columnCount())
        return;
    const QFontMetrics metrics(font());
    int widest = 0;
    for (int r = 0; r < QTableWidget::rowCount(); ++r)
        if (const QTableWidgetItem *it = item(r, col))
            widest = std::max(widest, metrics.horizontalAdvance(it->text()));
    // The item delegate keeps a margin on either side of the text and the grid
    // line takes a pixel; text measured in whole pixels may still be a
    // fraction wider, so half a character is added.
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    const int need = widest + 2 * margin + 1 + metrics.averageCharWidth() / 2;
    if (columnWidth(col) < need)
        setColumnWidth(col, need);
}

Memo::Memo(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setMaximumBlockCount(2000);  // a long-running station never grows without bound
    setLineWrapMode(QPlainTextEdit::NoWrap);
}

QStringList Memo::lines() const
{
    const QString all = toPlainText();
    if (all.isEmpty())
        return {};
    return all.split(QLatin1Char('\n'));
}

QString number_mask(int digits) { return QString(qMax(digits, 1), QLatin1Char('0')) + QStringLiteral("; "); }

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
