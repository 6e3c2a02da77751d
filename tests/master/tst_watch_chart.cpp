// The Chart page follows the Watch page: the ticked entries are the chart's
// series, each completed cycle adds their values or a gap for a failed read,
// and a stop of watching breaks every line.
#include <QChart>
#include <QCheckBox>
#include <QLineSeries>
#include <QtTest>

#include "Trend_chart.h"
#include "Wall_time.h"
#include "Watch_chart.h"
#include "Watch_page.h"

namespace {

QStringList legend(const TrendChart &chart)
{
    QStringList names;
    for (QAbstractSeries *s : chart.chart()->series())
        names << s->name();
    return names;
}

// The series' points from t0 on, "t:v" with t from t0 and "-" for a gap.
QString line(const TrendChart &chart, int series, int64_t t0)
{
    std::vector<Trend_point> out;
    chart.store().thin(series, t0, wall_clock_ms() + 60000, 100000, out);
    QStringList parts;
    for (const Trend_point &p : out)
        parts << (p.is_gap() ? QString("-") : QString("%1:%2").arg(p.t_ms - t0).arg(p.value));
    return parts.join(' ');
}

}  // namespace

class TestWatchChart : public QObject {
    Q_OBJECT
private slots:
    void followsTheWatchPage()
    {
        QTemporaryDir dir;
        const QString map = dir.filePath("pump.csv");
        QFile f(map);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("name,address,unit\nflow,40001,m3/h\nlevel,40002,m\nrunning,40003,\nspare,40004,\n");
        f.close();

        WatchPage page(kPlanLimits);
        TrendChart chart;
        WatchChart follow(&page, &chart, nullptr);
        QVERIFY(page.loadMap(map));
        page.setPlotted({0, 1, 2});
        QCOMPARE(legend(chart), QStringList({"flow [m3/h]", "level [m]", "running"}));

        // Three cycles, the second failed; then watching stops, and a new
        // run begins.
        const int64_t t0 = wall_clock_ms() - 10000;
        Map_watch &watch = page.watch();
        auto cycle = [&](int64_t t, const char *answer) {
            watch.begin_cycle();
            if (answer) {
                const QByteArray bytes = QByteArray::fromHex(answer);
                watch.take_answer(0, std::span(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())), t);
            } else {
                watch.take_failure(0, Read_status::Timeout);
            }
            page.cycleDone(t);
        };
        cycle(t0, "010308000100020003FFFF");
        cycle(t0 + 1000, nullptr);
        cycle(t0 + 2000, "010308000400050006FFFF");
        auto *box = page.findChild<QCheckBox *>("WatchBox");
        box->setChecked(true);
        box->setChecked(false);
        cycle(t0 + 20000, "010308000700080009FFFF");
        QCOMPARE(line(chart, 1, t0), QString("0:2 - 2000:5 - 20000:8"));

        // Unticked, a series goes; the others keep their points.
        page.setPlotted({1});
        QCOMPARE(legend(chart), QStringList({"level [m]"}));
        QCOMPARE(line(chart, 1, t0), QString("0:2 - 2000:5 - 20000:8"));

        // Another map: no series.
        QVERIFY(page.loadMap(map));
        QCOMPARE(chart.seriesCount(), 0);
    }
};

QTEST_MAIN(TestWatchChart)
#include "tst_watch_chart.moc"
