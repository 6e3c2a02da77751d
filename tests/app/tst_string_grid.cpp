// The grid's heading row (row 0) stays in view while the data rows scroll and
// is never selected, while cells keep their (column, row) addressing.
#include <QHeaderView>
#include <QScrollBar>
#include <QtTest>

#include "Gui_services.h"

namespace {

// A grid laid out as the stations lay theirs out: headings in row 0, data
// from row 1, column 0 the address column.
void layOut(StringGrid &g, const QStringList &headings, int dataRows)
{
    g.setColCount(int(headings.size()));
    g.setRowCount(1 + dataRows);
    for (int c = 0; c < headings.size(); ++c)
        g.setCell(c, 0, headings[c].toStdString());
    for (int r = 1; r <= dataRows; ++r)
        g.setCell(0, r, QString("row %1").arg(r).toStdString());
    g.setColWidth(0, 100);
}

QStringList headerTexts(const StringGrid &g)
{
    QStringList texts;
    for (int c = 0; c < g.columnCount(); ++c)
        texts << g.model()->headerData(c, Qt::Horizontal).toString();
    return texts;
}

const QStringList kBitHeadings{"address", "bits-7", "bits-6", "bits-5", "bits-4",
                               "bits-3",  "bits-2", "bits-1", "bits-0"};
const QStringList kWordHeadings{"address", "Decimal", "Hex."};

}  // namespace

class TestStringGrid : public QObject {
    Q_OBJECT
private slots:
    void headingsStayInView_data()
    {
        QTest::addColumn<QStringList>("headings");
        QTest::addColumn<int>("dataRows");
        QTest::newRow("1920 coils read by a master") << kBitHeadings << 240;
        QTest::newRow("slave register table") << kWordHeadings << 1024;
    }
    void headingsStayInView()
    {
        QFETCH(QStringList, headings);
        QFETCH(int, dataRows);
        StringGrid g;
        layOut(g, headings, dataRows);
        g.resize(700, 400);
        g.show();
        QVERIFY(QTest::qWaitForWindowExposed(&g));
        g.scrollToBottom();
        QCoreApplication::processEvents();
        QVERIFY(g.verticalScrollBar()->value() > 0);
        QVERIFY(g.horizontalHeader()->isVisible());
        QCOMPARE(headerTexts(g), headings);
        QVERIFY(g.rowAt(0) > 0);  // the viewport's top shows data rows
        // The cells themselves are addressed as before.
        QCOMPARE(g.cellText(1, 0), headings[1]);
        QCOMPARE(g.cellText(0, dataRows), QString("row %1").arg(dataRows));
    }

    // A heading written later, a grid laid out anew: the header follows row 0
    // and never shows the view's own column numbers.
    void headingsFollowRowZero()
    {
        StringGrid g;
        layOut(g, kWordHeadings, 5);
        g.setCell(1, 0, "Signed");
        QCOMPARE(headerTexts(g), (QStringList{"address", "Signed", "Hex."}));
        g.setRowCount(0);
        QCOMPARE(headerTexts(g), (QStringList{"", "", ""}));
        g.setColCount(9);
        g.setRowCount(3);
        QCOMPARE(headerTexts(g), QStringList(9, QString()));
        QVERIFY(g.isRowHidden(0));
        g.setCell(2, 0, "bits-6");
        QCOMPARE(headerTexts(g).value(2), QString("bits-6"));
    }

    // However the operator or the code moves the current cell, it never
    // lands on the headings; selecting a heading selects nothing.
    void headingRowNeverSelected_data()
    {
        QTest::addColumn<int>("key");  // 0: selectCell(3, 0) instead of a key
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("wantRow");
        QTest::newRow("select a heading") << 0 << 0 << -1;
        QTest::newRow("up") << int(Qt::Key_Up) << 0 << 1;
        QTest::newRow("page up") << int(Qt::Key_PageUp) << 0 << 1;
        QTest::newRow("ctrl+home") << int(Qt::Key_Home) << int(Qt::ControlModifier) << 1;
    }
    void headingRowNeverSelected()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, wantRow);
        StringGrid g;
        layOut(g, kBitHeadings, 20);
        g.show();
        QVERIFY(QTest::qWaitForWindowExposed(&g));
        g.selectCell(3, 2);
        g.setFocus();
        if (key == 0) {
            g.selectCell(3, 0);
        } else {
            QTest::keyClick(&g, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            QTest::keyClick(&g, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        }
        QCOMPARE(g.selectedRow(), wantRow);
        for (const QTableWidgetItem *it : g.selectedItems())
            QVERIFY(it->row() != 0);
    }

    // Widening a column to its text takes the heading into account.
    void widenCoversHeading()
    {
        StringGrid g;
        layOut(g, QStringList{"Output Coil and more", "bits-7"}, 3);
        g.setColWidth(0, 20);
        g.widenColumnToText(0);
        const QFontMetrics metrics(g.horizontalHeader()->font());
        QVERIFY(g.columnWidth(0) > metrics.horizontalAdvance("Output Coil and more"));
    }
};

QTEST_MAIN(TestStringGrid)
#include "tst_string_grid.moc"
