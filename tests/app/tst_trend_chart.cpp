// The trend chart on screen: legend entries and colours, gaps drawn as
// gaps, the paused view, and the saved pictures.
#include <QChart>
#include <QCheckBox>
#include <QGraphicsPathItem>
#include <QLineSeries>
#include <QtTest>

#include "Notices.h"
#include "Trend_chart.h"

namespace {

constexpr qint64 kT0 = 1700000000000;  // a wall-clock time

// The drawn line of each series: one path per series in the plot area.
QList<QGraphicsPathItem *> paths(TrendChart &chart)
{
    QList<QGraphicsPathItem *> found;
    for (QGraphicsItem *item : chart.chart()->childItems())
        for (QGraphicsItem *child : item->childItems())
            if (auto *path = qgraphicsitem_cast<QGraphicsPathItem *>(child))
                found << path;
    return found;
}

// The pieces of line a path is made of.
int pieces(const QPainterPath &path)
{
    int n = 0;
    for (int i = 0; i < path.elementCount(); ++i)
        n += path.elementAt(i).isMoveTo();
    return n;
}

}  // namespace

class TestTrendChart : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        set_message_box_sink([this](const std::string &text, const std::string &) { boxes_ << QString::fromStdString(text); });
        boxes_.clear();
    }

    void legendAndColours()
    {
        TrendChart chart;
        QCOMPARE(chart.addSeries("flow_rate", "m3/h"), 0);
        QCOMPARE(chart.addSeries("running", ""), 1);
        QStringList names;
        QSet<QRgb> colours;
        for (QAbstractSeries *s : chart.chart()->series()) {
            names << s->name();
            colours << static_cast<QLineSeries *>(s)->pen().color().rgb();
        }
        QCOMPARE(names, QStringList({"flow_rate [m3/h]", "running"}));
        QCOMPARE(colours.size(), 2);
    }

    // A failed read breaks the line; a value alone between two gaps still shows.
    void gapsAreGaps()
    {
        TrendChart chart;
        chart.resize(640, 400);
        chart.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chart));
        const int s = chart.addSeries("level", "m");
        for (int i = 0; i < 20; ++i) {
            if (i == 8 || i == 10)
                chart.addGap(s, kT0 + i * 1000);
            else
                chart.addPoint(s, kT0 + i * 1000, i % 5);
        }
        chart.redraw();
        QTest::qWait(10);  // the layout settles
        const QPainterPath path = paths(chart).value(0)->path();
        QCOMPARE(pieces(path), 3);  // 0-7, the dot at 9, 11-19
        QVERIFY(chart.chart()->plotArea().contains(path.boundingRect()));
    }

    // Paused, the view stays; unpaused, it shows what came meanwhile.
    void pauseFreezesTheView()
    {
        TrendChart chart;
        chart.show();
        const int s = chart.addSeries("level", "m");
        chart.addPoint(s, kT0, 1);
        chart.addPoint(s, kT0 + 1000, 2);
        chart.redraw();
        const QPainterPath before = paths(chart).value(0)->path();
        chart.findChild<QCheckBox *>("PauseTrend")->setChecked(true);
        chart.addPoint(s, kT0 + 2000, 5);
        QTest::qWait(3 * TrendChart::kRedrawMs);
        QCOMPARE(paths(chart).value(0)->path(), before);
        QCOMPARE(chart.store().size(s), size_t(3));
        chart.findChild<QCheckBox *>("PauseTrend")->setChecked(false);
        QVERIFY(paths(chart).value(0)->path() != before);
    }

    void saving_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("starts");  // empty: refused, nothing written
        QTest::newRow("PNG") << "chart.png" << QByteArray("\x89PNG");
        QTest::newRow("SVG") << "chart.SVG" << QByteArray("<?xml");
        QTest::newRow("other extension") << "chart.jpg" << QByteArray();
    }
    void saving()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, starts);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        TrendChart chart;
        chart.resize(500, 300);
        chart.addPoint(chart.addSeries("a", ""), kT0, 1);
        QCOMPARE(chart.saveTo(path), !starts.isEmpty());
        QCOMPARE(QFile::exists(path), !starts.isEmpty());
        QCOMPARE(boxes_.size(), starts.isEmpty() ? 1 : 0);
        if (!starts.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray bytes = f.readAll();
            QVERIFY(bytes.startsWith(starts));
            if (name.endsWith("SVG"))
                QVERIFY(bytes.contains("<path"));
        }
    }

private:
    QStringList boxes_;
};

QTEST_MAIN(TestTrendChart)
#include "tst_trend_chart.moc"
