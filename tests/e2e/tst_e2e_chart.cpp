// The Chart page in the running program: Master TCP watches three values of
// the Slave TCP station over 127.0.0.1 that change every 100 ms, plots them,
// and shows a gap where the slave answered with an exception for a while.
// Pictures of the page at the starting size and at 1280x1000 are left in
// e2e-pictures/ of the build directory.
#include <QAction>
#include <QChart>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGraphicsPathItem>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QtTest>
#include <cmath>

#include "Master_window.h"
#include "Modbus_main.h"
#include "Notices.h"
#include "Peers.h"
#include "Slave_tcp.h"
#include "Startup.h"
#include "Trend_chart.h"
#include "Watch_page.h"

namespace {

template <class T> T *child(QObject *parent, const char *name)
{
    T *c = parent->findChild<T *>(name);
    if (!c)
        qFatal("no child %s in %s", name, qPrintable(parent->objectName()));
    return c;
}

void savePicture(QWidget *w, const QString &name)
{
    QString dir = QString::fromLocal8Bit(qgetenv("QUILLAN_BINARY_DIR"));
    dir = (dir.isEmpty() ? QDir::tempPath() : dir) + "/e2e-pictures";
    QDir().mkpath(dir);
    const QString path = dir + "/" + name + ".png";
    if (w->grab().save(path))
        qInfo("picture: %s", qPrintable(path));
}

// Pieces of line the chart draws per series.
QList<int> pieces(TrendChart *chart)
{
    QList<int> n;
    for (QGraphicsItem *item : chart->chart()->childItems())
        for (QGraphicsItem *c : item->childItems())
            if (auto *path = qgraphicsitem_cast<QGraphicsPathItem *>(c)) {
                int moves = 0;
                for (int i = 0; i < path->path().elementCount(); ++i)
                    moves += path->path().elementAt(i).isMoveTo();
                n << moves;
            }
    return n;
}

}  // namespace

class TestE2eChart : public QObject {
    Q_OBJECT
    QStringList boxes_;

private slots:
    void initTestCase()
    {
        QVERIFY(Form1);
        set_message_box_sink([this](const std::string &text, const std::string &) {
            boxes_ << QString::fromStdString(text);
        });
    }

    void threeSeriesAndAGap()
    {
        Form1->resize(730, 505);
        child<QAction>(Form1, "SlaveTCP1")->trigger();
        auto *slave = qobject_cast<TSLTCP_Form *>(Form1->station(SlaveTcp));
        child<QAction>(Form1, "MasterTCP1")->trigger();
        auto *master = qobject_cast<MasterWindow *>(Form1->station(MasterTcp));
        QVERIFY(slave && master);
        const quint16 port = freeLoopbackPort();
        slave->setListenPort(port);
        child<QPushButton>(slave, "BitBtn1")->click();
        QVERIFY(slave->serverOpen());
        child<QLineEdit>(master, "MaskEdit4")->setText(QString::number(port));
        child<QPushButton>(master, "BitBtn3")->click();
        QVERIFY(waitUntil([&] { return child<QPushButton>(master, "BitBtn4")->isEnabled(); }));

        QTemporaryDir dir;
        const QString map = dir.filePath("tank.csv");
        QFile f(map);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("name,address,scale,offset,unit,description\n"
                "level,40001,0.01,,m,Tank level\n"
                "flow_rate,40002,0.1,,m3/h,Outlet flow\n"
                "temperature,40003,0.1,-40,\xC2\xB0" "C,Tank temperature\n");
        f.close();
        QVERIFY(master->watchPage()->loadMap(map));
        master->watchPage()->setPlotted({0, 1, 2});

        // The slave's values move every 100 ms; for a second in the middle
        // it answers every request with exception 02.
        int tick = 0;
        QTimer values;
        auto move = [&] {
            ++tick;
            slave->tables.holdingRegisters[0] = uint16_t(250 + 120 * std::sin(tick * 0.08));
            slave->tables.holdingRegisters[1] = uint16_t(300 + (tick * 7) % 150);
            slave->tables.holdingRegisters[2] = uint16_t(600 + 25 * std::cos(tick * 0.05));
        };
        move();
        connect(&values, &QTimer::timeout, &values, move);
        values.start(100);
        child<QSpinBox>(master, "PollInterval")->setValue(100);
        child<QCheckBox>(master, "WatchBox")->setChecked(true);
        auto *exception = child<QComboBox>(slave, "ForceException");
        QTest::qWait(5000);
        exception->setCurrentIndex(2);
        QTest::qWait(1500);
        exception->setCurrentIndex(0);
        QTest::qWait(5000);

        auto *pages = master->pages();
        pages->setCurrentIndex(pages->count() - 1);
        QCOMPARE(pages->tabText(pages->currentIndex()), QString("Chart"));
        TrendChart *chart = master->trendChart();
        child<QComboBox>(master, "TrendSpan")->setCurrentText("1 min");
        Form1->openStation(MasterTcp);
        QTest::qWait(2 * TrendChart::kRedrawMs);
        QCOMPARE(pieces(chart), QList<int>({2, 2, 2}));
        savePicture(Form1, "chart-three-series-gap-730x505");
        Form1->resize(1280, 1000);
        QTest::qWait(2 * TrendChart::kRedrawMs);
        savePicture(Form1, "chart-three-series-gap-1280x1000");
        Form1->resize(730, 505);

        child<QCheckBox>(master, "WatchBox")->setChecked(false);
        values.stop();
        QVERIFY2(boxes_.isEmpty(), qPrintable(boxes_.join("\n")));
        Form1->stationSubWindow(MasterTcp)->close();
        Form1->stationSubWindow(SlaveTcp)->close();
    }
};

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    Startup program;
    TestE2eChart test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_chart.moc"
