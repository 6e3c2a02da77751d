// The traffic history of a master station: the Master RTU station on a fake
// line records its port, requests, answers with their response time, a CRC
// error and a time-out, and saves them as CSV and capture from its panel.
#include <QCheckBox>
#include <QFile>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>

#include "Fake_link.h"
#include "Master_rtu.h"
#include "Station_rig.h"
#include "Traffic_panel.h"

class TestMasterTraffic : public QObject {
    Q_OBJECT
private slots:
    void exchangesLandInTheHistory();
    void discardsWhatWaits_data();
    void discardsWhatWaits();
};

namespace {

QStringList viewLines(QObject *form)
{
    auto *panel = form->findChild<TrafficPanel *>();
    if (!panel)
        qFatal("no traffic panel");
    panel->refresh();
    QStringList lines;
    const QAbstractItemModel *model = panel->view()->model();
    for (int r = 0; r < model->rowCount(); ++r)
        lines << model->index(r, 0).data().toString();
    return lines;
}

// Saves through the panel's button with the file dialog answered by name.
bool saveAs(QObject *form, const QString &path)
{
    set_save_name_asker([path](QWidget *, const QStringList &) { return path; });
    QTest::mouseClick(button(form, "SaveTraffic"), Qt::LeftButton);
    set_save_name_asker({});
    return QFile::exists(path);
}

}  // namespace

// Polling or Fast, what waits in the port when a request goes out (the late
// answer to an earlier one) is dropped, and the history keeps it; a one-shot
// send on the tick takes it as its answer, as it always did.
void TestMasterTraffic::discardsWhatWaits_data()
{
    QTest::addColumn<bool>("poll");
    QTest::addColumn<bool>("fast");
    QTest::addColumn<QString>("value");
    QTest::newRow("polled") << true << false << "42";
    QTest::newRow("fast") << false << true << "42";
    QTest::newRow("one-shot on the tick") << false << false << "1";
}

void TestMasterTraffic::discardsWhatWaits()
{
    QFETCH(bool, poll);
    QFETCH(bool, fast);
    QFETCH(QString, value);
    Recorder rec;
    FakeLink link;
    TMSRTU_Form form;
    form.setLink(&link);
    invoke(&form, "BitBtn4Click");
    setRequest(&form, 2, 1, 1, 1);
    form.setFastReceive(fast);
    link.arrive(hexBytes("01030200017984"));  // value 1, late
    child<QCheckBox>(&form, "PollBox")->setChecked(poll);
    invoke(&form, poll ? "PollTimerTimer" : "BitBtn1Click");
    link.arrive(hexBytes("010302002A399B"), link.ms + 500);  // value 42, this request's
    for (int n = 0; child<QTimer>(&form, "Timer1")->isActive() && n < 3000; ++n, link.ms += 10)
        invoke(&form, "Timer1Timer");
    QCOMPARE(grid(&form)->cellText(1, 1).trimmed(), value);
    const QRegularExpression line(" RX 01 03 02 00 01 79 84  .*discarded$");
    QCOMPARE(viewLines(&form).filter(line).size(), value == "42" ? 1 : 0);
}

void TestMasterTraffic::exchangesLandInTheHistory()
{
    Recorder rec;
    FakeLink link;
    auto *form = new TMSRTU_Form;
    form->setLink(&link);
    auto *timer = child<QTimer>(form, "Timer1");
    auto run = [&] {
        for (int n = 0; timer->isActive() && n < 3000; ++n) {
            link.ms += 10;
            invoke(form, "Timer1Timer");
        }
    };
    auto *pages = child<QTabWidget>(form, "MasterPages");
    QCOMPARE(pages->count(), 4);
    QCOMPARE(pages->tabText(0) + "|" + pages->tabText(1) + "|" + pages->tabText(2) + "|" + pages->tabText(3),
             QString("Data|Traffic|Watch|Chart"));
    QCOMPARE(pages->currentWidget(), grid(form));
    invoke(form, "BitBtn4Click");
    setRequest(form, 2, 1, 1, 1);
    const struct {
        const char *answer;  // empty: none comes
    } exchanges[] = {{.answer = "010302002A399B"}, {.answer = "010302002A399C"}, {.answer = ""}};
    for (const auto &x : exchanges) {
        invoke(form, "BitBtn1Click");
        link.arrive(hexBytes(x.answer));
        run();
    }

    // Line by line after the time stamp ("2026-12-08 14:03:07.125 ").
    const char *expected[] = {
        "^-- COM1 opened$",
        "^TX 01 03 00 00 00 01 84 0A  unit 1 fn 3 addr 0 count 1$",
        "^RX 01 03 02 00 2A 39 9B  unit 1 fn 3 bytes 2 in \\d+ ms$",
        "^TX 01 03 00 00 00 01 84 0A  unit 1 fn 3 addr 0 count 1$",
        "^RX 01 03 02 00 2A 39 9C  unit 1 fn 3 bytes 2 bad CRC in \\d+ ms$",
        "^-- CRC error: received 39 9C, computed 39 9B$",
        "^TX 01 03 00 00 00 01 84 0A  unit 1 fn 3 addr 0 count 1$",
        "^-- time-out, no answer$",
    };
    const QStringList lines = viewLines(form);
    QCOMPARE(lines.size(), int(std::size(expected)));
    const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(stamp.match(lines[i]).hasMatch(), qPrintable(lines[i]));
        const QString rest = lines[i].mid(24);
        QVERIFY2(QRegularExpression(expected[i]).match(rest).hasMatch(), qPrintable(rest));
    }

    QTemporaryDir dir;
    QVERIFY(saveAs(form, dir.filePath("t.csv")));
    QFile csv(dir.filePath("t.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = csv.readAll().split('\n');
    QCOMPARE(rows.first(), QByteArray("time,direction,peer,bytes,note\r"));
    QCOMPARE(rows.size(), 1 + lines.size() + 1);  // header, the lines, nothing after the last CR LF
    QVERIFY2(rows[2].contains(",TX,,01 03 00 00 00 01 84 0A,unit 1 fn 3 addr 0 count 1\r"), rows[2].constData());

    // The capture: link type USER0, one packet per frame (the events are no
    // frames): 3 requests and 2 answers.
    QVERIFY(saveAs(form, dir.filePath("t.pcap")));
    QFile pcap(dir.filePath("t.pcap"));
    QVERIFY(pcap.open(QIODevice::ReadOnly));
    const QByteArray cap = pcap.readAll();
    QCOMPARE(cap.left(4), QByteArray("\xD4\xC3\xB2\xA1", 4));
    QCOMPARE(cap.mid(20, 4), QByteArray("\x93\x00\x00\x00", 4));
    int packets = 0;
    for (qsizetype at = 24; at + 16 <= cap.size() && packets < 100; ++packets) {
        const quint32 caplen = quint32(uchar(cap[at + 8])) | quint32(uchar(cap[at + 9])) << 8 |
                               quint32(uchar(cap[at + 10])) << 16 | quint32(uchar(cap[at + 11])) << 24;
        at += 16 + qsizetype(caplen);
    }
    QCOMPARE(packets, 5);
    QCOMPARE(rec.boxes, QStringList{"Zentavor|RS232C comm. time out error"});
    delete form;
}

QTEST_MAIN(TestMasterTraffic)
#include "tst_master_traffic.moc"
