// Delayed answers keep the order of their requests and the queue's bound; the
// register grids' value column in a value format.
#include <QtTest>

#include "Answer_queue.h"
#include "Memory_grid.h"
#include "Register_view.h"
#include "Slave_tables.h"

namespace {

using Frame = std::vector<uint8_t>;
using Pushes = QList<QPair<int, int>>;  // due, id

// "due:id" items pushed in order; takes at each "now" and lists the ids sent.
QString run(const Pushes &pushes, const QList<int> &nows)
{
    AnswerQueue q;
    for (const auto &p : pushes)
        q.push(p.first, Frame{uint8_t(p.second)});
    QStringList sent;
    for (int now : nows) {
        QStringList at;
        for (const Frame &f : q.takeDue(now))
            at << QString::number(f[0]);
        sent << QString("%1:[%2]").arg(now).arg(at.join(','));
    }
    return sent.join(' ');
}

}  // namespace

class TestAnswerQueue : public QObject {
    Q_OBJECT
private slots:
    void order_data()
    {
        QTest::addColumn<Pushes>("pushes");
        QTest::addColumn<QList<int>>("nows");
        QTest::addColumn<QString>("sent");
        QTest::newRow("each at its time")
            << Pushes{{100, 1}, {200, 2}} << QList<int>{99, 100, 250} << "99:[] 100:[1] 250:[2]";
        // The delay was shortened after the first request: the second answer
        // still waits for the first.
        QTest::newRow("never overtakes")
            << Pushes{{500, 1}, {10, 2}, {600, 3}} << QList<int>{20, 500, 600}
            << "20:[] 500:[1,2] 600:[3]";
        QTest::newRow("late take sends all in order")
            << Pushes{{5, 1}, {6, 2}, {7, 3}} << QList<int>{1000} << "1000:[1,2,3]";
    }
    void order()
    {
        QFETCH(Pushes, pushes);
        QFETCH(QList<int>, nows);
        QFETCH(QString, sent);
        QCOMPARE(run(pushes, nows), sent);
    }

    void bounded()
    {
        AnswerQueue q;
        for (size_t i = 0; i < AnswerQueue::kMaxAnswers; ++i)
            QVERIFY(q.push(10, Frame{1}));
        QVERIFY(q.full());
        QVERIFY(!q.push(10, Frame{2}));
        QCOMPARE(q.size(), AnswerQueue::kMaxAnswers);
        QCOMPARE(q.takeDue(10).size(), AnswerQueue::kMaxAnswers);
        QVERIFY(q.empty());
    }

    // Float 1.5 is 3FC0 0000, Double 1.0 is 3FF0 0000 0000 0000. The grid is
    // laid out, then register n changes and only its group is shown again.
    void registerColumn_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("n");
        QTest::addColumn<QStringList>("rows");  // value column of rows 1..6
        QTest::addColumn<QString>("heading");
        QTest::newRow("signed") << int(ValueFormat::Signed) << 1
                                << QStringList{"     0", " 16320", "     0", "     0", "     0", "     0"} << "Decimal";
        QTest::newRow("float ABCD") << int(ValueFormat::FloatABCD) << 2
                                    << QStringList{"0", "-", "1.5", "-", "0", "-"} << "Float ABCD";
        QTest::newRow("float CDAB") << int(ValueFormat::FloatCDAB) << 3
                                    << QStringList{"0", "-", "1.5", "-", "0", "-"} << "Float CDAB";
        QTest::newRow("double") << int(ValueFormat::DoubleABCDEFGH) << 4
                                << QStringList{"0", "-", "-", "-", "1", "-"} << "Double ABCDEFGH";
        QTest::newRow("unsigned long") << int(ValueFormat::UnsignedLongABCD) << 0
                                       << QStringList{"1069547520", "-", "0", "-", "0", "-"} << "Unsigned long ABCD";
    }
    void registerColumn()
    {
        QFETCH(int, format);
        QFETCH(int, n);
        QFETCH(QStringList, rows);
        QFETCH(QString, heading);
        SlaveTables t;
        MemoryGrid g(3, 0);
        setup_register_grid(g, KindHoldingRegister, t.holdingRegisters);
        show_register_values(g, KindHoldingRegister, ValueFormat(format), t.holdingRegisters);
        const uint16_t value = format == int(ValueFormat::DoubleABCDEFGH) ? 0x3FF0 : 0x3FC0;
        t.holdingRegisters[n] = value;
        show_register_group(g, KindHoldingRegister, ValueFormat(format), t.holdingRegisters, uint16_t(n));
        QStringList got;
        for (int r = 1; r <= 6; ++r)
            got << QString::fromStdString(g.cell(1, r));
        QCOMPARE(got, rows);
        QCOMPARE(QString::fromStdString(g.cell(1, 0)), heading);
        QCOMPARE(QString::fromStdString(g.cell(2, n + 1)), QString::asprintf("0x%04X", value));
        QCOMPARE(QString::fromStdString(g.cell(0, 1024)), QString("41024"));
    }
};

QTEST_APPLESS_MAIN(TestAnswerQueue)
#include "tst_answer_queue.moc"
