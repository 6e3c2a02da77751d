// Memo and StringGrid take changes at once and show them at the next refresh:
// nothing added is lost or reordered, what is shown catches up, and a flood of
// changes is shown in a bounded number of refreshes.
#include <QElapsedTimer>
#include <QPaintEvent>
#include <QTextBlock>
#include <QtTest>

#include "Gui_services.h"

namespace {

// Runs the event loop for ms milliseconds.
void spin(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Counts paint events of a widget and what they covered.
class PaintLog : public QObject {
public:
    int paints = 0;
    QRegion covered;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint) {
            ++paints;
            covered += static_cast<QPaintEvent *>(e)->region();
        }
        return false;
    }
};

}  // namespace

class TestGuiRefresh : public QObject {
    Q_OBJECT
private slots:
    // Operations: "+text" adds a line, "C" clears.
    void memoContent_data()
    {
        QTest::addColumn<QStringList>("ops");
        QTest::addColumn<QStringList>("want");
        QTest::newRow("lines in order") << QStringList{"+a", "+b", "+c"} << QStringList{"a", "b", "c"};
        QTest::newRow("clear drops what came before") << QStringList{"+a", "C", "+b"} << QStringList{"b"};
        QTest::newRow("clear last") << QStringList{"+a", "+b", "C"} << QStringList{};
        QTest::newRow("a line break makes two lines") << QStringList{"+a", "+b\nc"} << QStringList{"a", "b", "c"};
        QTest::newRow("empty line kept after others") << QStringList{"+a", "+"} << QStringList{"a", ""};
        QTest::newRow("clear, adds, clear, add") << QStringList{"C", "+x", "+y", "C", "+z"} << QStringList{"z"};
    }
    void memoContent()
    {
        QFETCH(QStringList, ops);
        QFETCH(QStringList, want);
        auto apply = [&](Memo &m) {
            for (const QString &op : ops) {
                if (op == "C")
                    m.clear();
                else
                    m.add(op.mid(1));
            }
        };
        // Read at once, before any refresh.
        Memo now;
        now.add(QStringLiteral("earlier"));
        now.lines();  // shown
        apply(now);
        QCOMPARE(now.lines(), ops.contains("C") ? want : QStringList{"earlier"} + want);

        // Left to the event loop: the shown text catches up by itself.
        Memo later;
        later.show();
        apply(later);
        spin(3 * Memo::kRefreshMs);
        QCOMPARE(later.toPlainText(), want.join('\n'));
    }

    void memoFloodIsBounded()
    {
        Memo m;
        m.show();
        for (int i = 0; i < 5000; ++i)
            m.add(QString::number(i));
        spin(3 * Memo::kRefreshMs);
        QVERIFY(m.document()->blockCount() <= m.maximumBlockCount());
        QCOMPARE(m.document()->lastBlock().text(), QString("4999"));
        QCOMPARE(m.lines().first(), QString::number(5000 - m.document()->blockCount()));
    }

    // A station clearing its memo and adding a line on every event-loop turn
    // changes the shown document at most once per refresh period.
    void memoRefreshesAreSpaced()
    {
        Memo m;
        m.show();
        spin(50);
        int changes = 0;
        connect(m.document(), &QTextDocument::contentsChanged, &m, [&] { ++changes; });
        QElapsedTimer t;
        t.start();
        int turns = 0;
        while (t.elapsed() < 200) {
            m.clear();
            m.add(QString("request %1").arg(++turns));
            QCoreApplication::processEvents();
        }
        const qint64 elapsed = t.elapsed();
        spin(3 * Memo::kRefreshMs);
        QCOMPARE(m.toPlainText(), QString("request %1").arg(turns));
        // Each refresh is one clear and one append.
        QVERIFY2(changes <= 2 * (elapsed / Memo::kRefreshMs + 3),
                 qPrintable(QString("%1 document changes in %2 turns, %3 ms").arg(changes).arg(turns).arg(elapsed)));
    }

    // Changed cells are repainted, however many changed in one turn.
    void gridRepaintsChangedCells_data()
    {
        QTest::addColumn<int>("cells");
        QTest::newRow("one cell") << 1;
        QTest::newRow("twenty cells") << 20;
    }
    void gridRepaintsChangedCells()
    {
        QFETCH(int, cells);
        StringGrid g;
        g.setColCount(3);
        g.setRowCount(40);
        g.resize(400, 600);
        g.show();
        QVERIFY(QTest::qWaitForWindowExposed(&g));
        spin(50);
        PaintLog log;
        g.viewport()->installEventFilter(&log);
        QRegion want;
        for (int i = 0; i < cells; ++i) {
            const int row = 1 + i / 2, col = 1 + i % 2;
            g.setCell(col, row, "v" + std::to_string(i));
            QCOMPARE(g.cellText(col, row), QString("v%1").arg(i));  // in the grid at once
            want += g.visualItemRect(g.item(row, col));
        }
        spin(3 * StringGrid::kRepaintMs);
        QVERIFY(log.paints >= 1);
        QCOMPARE(log.covered.intersected(want), want);
    }

    void gridRepaintsAreSpaced()
    {
        StringGrid g;
        g.setColCount(3);
        g.setRowCount(40);
        g.resize(400, 600);
        g.show();
        QVERIFY(QTest::qWaitForWindowExposed(&g));
        spin(50);
        PaintLog log;
        g.viewport()->installEventFilter(&log);
        QElapsedTimer t;
        t.start();
        int turns = 0;
        while (t.elapsed() < 200) {
            g.setCell(1, 1, std::to_string(++turns));
            QCoreApplication::processEvents();
        }
        const qint64 elapsed = t.elapsed();
        spin(3 * StringGrid::kRepaintMs);
        QVERIFY(log.covered.contains(g.visualItemRect(g.item(1, 1))));
        QVERIFY2(log.paints <= elapsed / StringGrid::kRepaintMs + 3,
                 qPrintable(QString("%1 paints in %2 turns, %3 ms").arg(log.paints).arg(turns).arg(elapsed)));
    }
};

QTEST_MAIN(TestGuiRefresh)
#include "tst_gui_refresh.moc"
