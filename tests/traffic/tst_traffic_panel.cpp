// The traffic panel: its controls, batched view updates that follow the
// end, saving through the name seam with every refusal and failure in a box,
// and a flood of events that leaves the history bounded and the event loop
// turning.
#include <QtTest>

#include <QTableView>
#include <QPushButton>
#include <QScrollBar>

#include "Notices.h"
#include "Traffic_history.h"
#include "Traffic_panel.h"

Q_DECLARE_METATYPE(Traffic_framing)

namespace {
const std::string kRequest("\x01\x03\x00\x00\x00\x0A\xC5\xCD", 8);
}

class TestTrafficPanel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void controls();
    void linesArriveBatchedAndFollowTheEnd();
    void scrolledUpStaysPut();
    void longLineEarlyInABurstStaysWhole();
    void save_data();
    void save();
    void clearEmptiesHistoryAndView();
    void floodStaysBoundedAndResponsive();

private:
    QStringList boxes_;
    QTemporaryDir dir_;
};

void TestTrafficPanel::initTestCase()
{
    QVERIFY(dir_.isValid());
    set_message_box_sink([this](const std::string &text, const std::string &) {
        boxes_ << QString::fromStdString(text);
    });
}

void TestTrafficPanel::init() { boxes_.clear(); }

void TestTrafficPanel::controls()
{
    Traffic_history history(Traffic_framing::Rtu, Traffic_side::Master);
    TrafficPanel panel(&history);
    QVERIFY(panel.findChild<QTableView *>("TrafficView"));
    QCOMPARE(panel.findChild<QPushButton *>("SaveTraffic")->text(), QString::fromUtf8("Save traffic\u2026"));
    QCOMPARE(panel.findChild<QPushButton *>("ClearTraffic")->text(), QString("Clear"));
}

void TestTrafficPanel::linesArriveBatchedAndFollowTheEnd()
{
    Traffic_history history(Traffic_framing::Rtu, Traffic_side::Master);
    TrafficPanel panel(&history);
    panel.resize(500, 200);
    panel.show();
    QTableView *view = panel.view();
    for (int i = 0; i < 300; ++i)
        history.add_frame(Traffic_direction::Tx, kRequest);
    QCOMPARE(view->model()->rowCount(), 0);  // nothing until the event loop turns
    QTRY_COMPARE(view->model()->rowCount(), 300);
    QCOMPARE(view->model()->index(299, 0).data().toString(),
             QString::fromStdString(history.line(history.at(299))));
    QVERIFY(view->verticalScrollBar()->maximum() > 0);
    QCOMPARE(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
    history.add_event(std::string(300, 'x'));  // a long line widens the view's lines
    QTRY_COMPARE(view->model()->rowCount(), 301);
    QCOMPARE(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
    QTRY_VERIFY(view->horizontalScrollBar()->maximum() > 0);
}

void TestTrafficPanel::scrolledUpStaysPut()
{
    // A small history, so that the oldest lines leave while the operator reads.
    Traffic_history history(Traffic_framing::Rtu, Traffic_side::Master, {}, 200);
    TrafficPanel panel(&history);
    panel.resize(500, 200);
    panel.show();
    QTableView *view = panel.view();
    for (int i = 0; i < 150; ++i)
        history.add_event("line " + std::to_string(i));
    panel.refresh();
    view->scrollTo(view->model()->index(100, 0), QAbstractItemView::PositionAtTop);
    QCOMPARE(view->indexAt(QPoint(1, 1)).data().toString().section(' ', 3), QString("line 100"));
    for (int i = 150; i < 220; ++i)
        history.add_event("line " + std::to_string(i));
    panel.refresh();
    QCOMPARE(view->model()->rowCount(), 200);
    QVERIFY(view->verticalScrollBar()->value() < view->verticalScrollBar()->maximum());
    QCOMPARE(view->indexAt(QPoint(1, 1)).data().toString().section(' ', 3), QString("line 100"));
}

void TestTrafficPanel::longLineEarlyInABurstStaysWhole()
{
    Traffic_history history(Traffic_framing::Rtu, Traffic_side::Master);
    TrafficPanel panel(&history);
    panel.resize(500, 200);
    panel.show();
    history.add_event(std::string(300, 'x'));
    for (int i = 0; i < 1500; ++i)
        history.add_event("short");
    panel.refresh();
    const QString longest = QString::fromStdString(history.line(history.at(0)));
    QVERIFY(panel.view()->columnWidth(0) >= QFontMetrics(panel.view()->font()).horizontalAdvance(longest));
}

void TestTrafficPanel::save_data()
{
    QTest::addColumn<Traffic_framing>("framing");
    QTest::addColumn<QString>("name");  // in the temporary folder unless absolute
    QTest::addColumn<bool>("written");
    QTest::addColumn<QString>("box");  // the start of the box's text; empty: none
    const auto rtu = Traffic_framing::Rtu, ascii = Traffic_framing::Ascii, tcp = Traffic_framing::Tcp;
    QTest::newRow("csv") << rtu << "t.csv" << true << "";
    QTest::newRow("csv, upper case") << ascii << "T.CSV" << true << "";
    QTest::newRow("pcap") << rtu << "t.pcap" << true << "";
    QTest::newRow("pcap of ascii") << ascii << "a.pcap" << false << "Modbus ASCII traffic cannot be saved as a capture";
    QTest::newRow("pcap without addresses") << tcp << "n.pcap" << true << "1 frame without addresses is not in the capture";
    QTest::newRow("other extension") << rtu << "t.txt" << false << "Traffic is saved as .csv";
    QTest::newRow("no such folder") << rtu << "/nonexistent-quillan/t.csv" << false
                                    << "Cannot write \"/nonexistent-quillan/t.csv\": No such file or directory";
}

void TestTrafficPanel::save()
{
    QFETCH(Traffic_framing, framing);
    QFETCH(QString, name);
    QFETCH(bool, written);
    QFETCH(QString, box);
    Traffic_history history(framing, Traffic_side::Slave);
    history.add_frame(Traffic_direction::Rx, kRequest);
    TrafficPanel panel(&history);
    const QString path = name.startsWith('/') ? name : dir_.filePath(name);
    QStringList offered;
    set_save_name_asker([&](QWidget *, const QStringList &filters) {
        offered = filters;
        return path;
    });
    QTest::mouseClick(panel.findChild<QPushButton *>("SaveTraffic"), Qt::LeftButton);
    set_save_name_asker({});

    QCOMPARE(QFile::exists(path), written);
    QCOMPARE(offered.size(), framing == Traffic_framing::Ascii ? 1 : 2);  // no capture offered for ASCII
    QCOMPARE(boxes_.size(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty())
        QVERIFY2(boxes_.first().startsWith(box), qPrintable(boxes_.first()));
    QCOMPARE(history.size(), size_t(1));  // saving, or failing to, loses nothing
}

void TestTrafficPanel::clearEmptiesHistoryAndView()
{
    Traffic_history history(Traffic_framing::Rtu, Traffic_side::Master);
    TrafficPanel panel(&history);
    for (int i = 0; i < 10; ++i)
        history.add_frame(Traffic_direction::Tx, kRequest);
    panel.refresh();
    QTest::mouseClick(panel.findChild<QPushButton *>("ClearTraffic"), Qt::LeftButton);
    QVERIFY(history.empty());
    QCOMPARE(panel.view()->model()->rowCount(), 0);
    // Out of sight the view catches up when it is shown; in sight, at once.
    history.add_event("opened");
    QTest::qWait(3 * TrafficPanel::kRefreshMs);
    panel.show();
    QTRY_COMPARE(panel.view()->model()->rowCount(), 1);
    history.add_event("closed");
    QTRY_COMPARE(panel.view()->model()->rowCount(), 2);
}

void TestTrafficPanel::floodStaysBoundedAndResponsive()
{
    Traffic_history history(Traffic_framing::Tcp, Traffic_side::Slave);
    TrafficPanel panel(&history);
    panel.resize(700, 300);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    int ticks = 0;
    QTimer beat;
    connect(&beat, &QTimer::timeout, [&ticks] { ++ticks; });
    beat.start(1);

    const Traffic_info at{.local = Traffic_endpoint::ipv4(0x7F000001, 502),
                          .peer = Traffic_endpoint::ipv4(0x7F000001, 40512)};
    const std::string request("\x00\x01\x00\x00\x00\x06\x01\x03\x00\x00\x00\x0A", 12);
    // Like a station serving a flood: events come in bursts, and the event
    // loop turns between them.
    int turns = 0;
    for (int i = 0; i < 200000; i += 1000, ++turns) {
        for (int k = 0; k < 1000; ++k)
            history.add_frame(k % 2 ? Traffic_direction::Tx : Traffic_direction::Rx, request, at);
        QCoreApplication::processEvents();
    }
    QCOMPARE(history.size(), Traffic_history::kCapacity);
    QVERIFY2(ticks > 0, "the event loop stopped turning under the flood");
    history.add_event("last");
    const QAbstractItemModel *model = panel.view()->model();
    QTRY_COMPARE(model->index(model->rowCount() - 1, 0).data().toString().section(' ', 3), QString("last"));
    QCOMPARE(model->rowCount(), int(Traffic_history::kCapacity));
    QCOMPARE(model->index(0, 0).data().toString(), QString::fromStdString(history.line(history.at(0))));
    QCOMPARE(panel.view()->verticalScrollBar()->value(), panel.view()->verticalScrollBar()->maximum());
    qInfo("flood: %d bursts of 1000 events, %d timer ticks in between", turns, ticks);
}

QTEST_MAIN(TestTrafficPanel)
#include "tst_traffic_panel.moc"
