// The trend store: thinning keeps each pixel column's extremes and every gap
// between columns; the bounds in time, count and per slot hold.
#include <QtTest>

#include "Trend_store.h"

namespace {

// "t:v" points, "t:-" a gap, blank-separated.
void feed(Trend_store &store, int series, const QString &points)
{
    for (const QString &p : points.split(' ', Qt::SkipEmptyParts)) {
        const QStringList tv = p.split(':');
        if (tv[1] == "-")
            store.add_gap(series, tv[0].toLongLong());
        else
            store.add_point(series, tv[0].toLongLong(), tv[1].toDouble());
    }
}

QString text(const std::vector<Trend_point> &points)
{
    QStringList parts;
    for (const Trend_point &p : points)
        parts << QString("%1:%2").arg(p.t_ms).arg(p.is_gap() ? QString("-") : QString::number(p.value));
    return parts.join(' ');
}

// Slots of 1 ms: no point is folded on the way in.
constexpr Trend_limits kUnfolded{.slot_ms = 1};

}  // namespace

class TestTrendStore : public QObject {
    Q_OBJECT
private slots:
    void thinning_data()
    {
        QTest::addColumn<QString>("points");
        QTest::addColumn<int>("columns");
        QTest::addColumn<QString>("thinned");
        QTest::addColumn<int>("slotMs");
        // Window 1000 to 2000 ms in the columns given.
        auto row = [](const char *tag, const char *points, int columns, const char *thinned, int slotMs = 1) {
            QTest::newRow(tag) << QString(points) << columns << QString(thinned) << slotMs;
        };
        row("a column keeps its lowest and highest, in order", "1000:5 1010:9 1020:-3 1030:4 1040:2", 1,
            "1010:9 1020:-3");
        row("min before max", "1000:1 1200:-7 1300:8", 1, "1200:-7 1300:8");
        row("one point per column when flat", "1000:2 1100:2 1600:2 1700:2", 2, "1000:2 1600:2");
        row("a gap between columns stays", "1000:1 1400:2 1500:- 1600:3 1900:4", 4,
            "1000:1 1400:2 1500:- 1600:3 1900:4");
        row("a gap inside a column stays", "1000:1 1010:5 1020:- 1030:7 1040:0", 1, "1000:1 1010:5 1020:- 1030:7 1040:0");
        row("many gaps in a column: the first, and the last when it ends one",
            "1000:1 1001:- 1002:2 1003:- 1004:3 1005:- 1500:4", 2, "1000:1 1001:- 1002:2 1004:3 1005:- 1500:4");
        row("a run of failures is one gap", "1000:1 1100:- 1200:- 1300:- 1400:2", 10, "1000:1 1100:- 1400:2");
        row("the values either side of the window come", "900:1 1500:2 2100:3", 10, "900:1 1500:2 2100:3");
        row("a gap either side of the window keeps the line out", "800:1 900:- 1500:2 2050:- 2100:3", 10,
            "1500:2");
        row("points within a slot fold to its lowest and highest", "1000:5 1010:9 1020:-3 1030:4 1040:2", 1000,
            "1010:9 1020:-3", 100);
    }
    void thinning()
    {
        QFETCH(QString, points);
        QFETCH(int, columns);
        QFETCH(QString, thinned);
        QFETCH(int, slotMs);
        Trend_store store({.slot_ms = slotMs});
        const int s = store.add_series();
        feed(store, s, points);
        std::vector<Trend_point> out;
        store.thin(s, 1000, 2000, columns, out);
        QCOMPARE(text(out), thinned);
    }

    // Whatever comes, a thinned window has at most 6 points per column
    // (the line's ends aside), and its extremes are the data's.
    void thinningIsBounded()
    {
        Trend_store store(kUnfolded);
        const int s = store.add_series();
        float lo = 1e9, hi = -1e9;
        for (int t = 0; t < 100000; ++t) {
            if (t % 7 == 3) {
                store.add_gap(s, t);
                continue;
            }
            const float v = float((t * 7919) % 1000 - 500);
            store.add_point(s, t, v);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        std::vector<Trend_point> out;
        store.thin(s, 0, 99999, 300, out);
        QVERIFY(out.size() <= 300 * 6 + 2);
        float outLo = 1e9, outHi = -1e9;
        for (const Trend_point &p : out) {
            if (!p.is_gap()) {
                outLo = std::min(outLo, p.value);
                outHi = std::max(outHi, p.value);
            }
        }
        QCOMPARE(outLo, lo);
        QCOMPARE(outHi, hi);
    }

    void bounds_data()
    {
        QTest::addColumn<qint64>("keepMs");
        QTest::addColumn<int>("maxPoints");
        QTest::addColumn<int>("stepMs");
        QTest::addColumn<int>("points");
        QTest::addColumn<int>("kept");
        QTest::addColumn<QString>("oldest");  // the first thinned point of the whole past
        auto row = [](const char *tag, qint64 keep, int max, int step, int n, int kept, const char *oldest) {
            QTest::newRow(tag) << keep << max << step << n << kept << QString(oldest);
        };
        // Values 0, 1, 2… every stepMs from t = 0.
        row("older than keep_ms leave", 1000, 1000, 100, 50, 11, "3900:39");
        row("at most max_points", 100000, 100, 100, 1000, 100, "90000:900");
        row("a slot keeps two points", 100000, 1000, 1, 1000, 40, "0:0");
    }
    void bounds()
    {
        QFETCH(qint64, keepMs);
        QFETCH(int, maxPoints);
        QFETCH(int, stepMs);
        QFETCH(int, points);
        QFETCH(int, kept);
        QFETCH(QString, oldest);
        Trend_store store({.keep_ms = keepMs, .max_points = size_t(maxPoints), .slot_ms = 50});
        const int s = store.add_series();
        for (int i = 0; i < points; ++i)
            store.add_point(s, int64_t(i) * stepMs, i);
        QCOMPARE(int(store.size(s)), kept);
        QVERIFY(store.memory_bytes() <= size_t(maxPoints) * 8);
        std::vector<Trend_point> out;
        store.thin(s, -1, int64_t(points) * stepMs, 1 << 20, out);
        QCOMPARE(text({out.front()}), oldest);
        QCOMPARE(out.back().value, float(points - 1));  // the newest always stays
    }

    // Eight series at most; a freed number is given again, empty.
    void seriesNumbers()
    {
        Trend_store store;
        for (int i = 0; i < kTrendSeriesMax; ++i)
            QCOMPARE(store.add_series(), i);
        QCOMPARE(store.add_series(), -1);
        store.add_point(3, 0, 1);
        store.remove_series(3);
        QCOMPARE(store.add_series(), 3);
        QCOMPARE(store.size(3), size_t(0));
    }

    // Weeks of running: times stay right past 32 bits of ms, and a clock
    // set back does not reorder the points.
    void longRunsAndClockSteps()
    {
        Trend_store store(kUnfolded);
        const int s = store.add_series();
        const int64_t start = 1700000000000;  // a wall-clock time
        const int64_t later = start + (int64_t(5) << 31);
        feed(store, s, QString("%1:1 %2:2 %3:3 %4:4").arg(start).arg(later).arg(later + 10).arg(later - 500));
        std::vector<Trend_point> out;
        store.thin(s, later - 1000, later + 1000, 2000, out);
        QCOMPARE(text(out), QString("%1:2 %2:3 %2:4").arg(later).arg(later + 10));
        QCOMPARE(store.size(s), size_t(3));
    }
};

QTEST_APPLESS_MAIN(TestTrendStore)
#include "tst_trend_store.moc"
