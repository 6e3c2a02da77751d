// The master workbench on the Master RTU station with a fake line and clock:
// polling and its rules, the counters, value formats, the 32-bit write and
// the block write; and the polled TCP answer time-out against a silent server.
#include <QCheckBox>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>

#include "Fake_link.h"
#include "Master_rtu.h"
#include "Master_tcp.h"
#include "Peers.h"
#include "Station_rig.h"

namespace {

struct Rig {
    Recorder rec;
    FakeLink link;
    TMSRTU_Form *form;

    Rig()
    {
        form = new TMSRTU_Form;
        form->setLink(&link);
        form->setClock([this] { return int64_t(link.ms); });
        invoke(form, "BitBtn4Click");
    }
    ~Rig() { delete form; }

    QTimer *timer() { return child<QTimer>(form, "Timer1"); }
    QCheckBox *poll() { return child<QCheckBox>(form, "PollBox"); }
    QString stats() { return child<QLabel>(form, "StatsLabel")->text(); }
    // What the poll scheduler says now.
    void due() { invoke(form, "PollTimerTimer"); }
    // Ticks the receive timer until the exchange is over or the next
    // request, polled at its end, has gone out.
    void run()
    {
        const size_t sent = link.written.size();
        for (int n = 0; timer()->isActive() && link.written.size() == sent && n < 3000; ++n) {
            link.ms += 10;
            invoke(form, "Timer1Timer");
        }
    }
    QByteArray lastWritten() const { return link.written.empty() ? QByteArray() : link.written.back(); }
};

const QByteArray kRead2 = hexBytes("010300000002C40B");
const QByteArray kAnswer2 = hexBytes("010304000100022A32");

}  // namespace

class TestMasterWorkbench : public QObject {
    Q_OBJECT
private slots:
    void defaults()
    {
        Rig r;
        QVERIFY(!r.poll()->isChecked());
        QCOMPARE(child<QSpinBox>(r.form, "PollInterval")->value(), 1000);
        QCOMPARE(child<QComboBox>(r.form, "FormatBox")->currentText(), QString("Signed"));
        QCOMPARE(child<QCheckBox>(r.form, "FastBox")->text(), QString("Fast"));
        QVERIFY(!child<QCheckBox>(r.form, "FastBox")->isChecked());
        QCOMPARE(r.stats(), QString("Tx 0  Rx 0  Exc 0  Err 0  T/O 0  last - ms  min - ms  avg - ms  max - ms"));
        QCOMPARE(button(r.form, "WriteBlock")->text(), QString("Write block…"));
    }

    // Start to start no faster than the interval; a field change applies at
    // the next cycle; the values stay on show between cycles.
    void polling()
    {
        Rig r;
        setRequest(r.form, 2, 1, 1, 2);
        r.poll()->setChecked(true);
        r.due();
        QCOMPARE(r.link.written.size(), size_t(1));
        QCOMPARE(r.lastWritten(), kRead2);
        r.link.arrive(kAnswer2);
        r.run();
        QCOMPARE(gridRow(grid(r.form), 2), QString("40002|     2|0x0002"));
        QVERIFY(r.stats().startsWith("Tx 1  Rx 1  Exc 0  Err 0  T/O 0  last "));
        r.due();
        QCOMPARE(r.link.written.size(), size_t(1));  // the interval has not passed
        r.link.ms = 999;
        r.due();
        QCOMPARE(r.link.written.size(), size_t(1));
        r.link.ms = 1000;
        child<QLineEdit>(r.form, "MaskEdit3")->setText("1");
        r.due();
        QCOMPARE(r.link.written.size(), size_t(2));
        QCOMPARE(r.lastWritten(), hexBytes("010300000001840A"));
        QCOMPARE(grid(r.form)->rowCount(), 2);  // laid out for the new count
        QVERIFY(r.rec.boxes.isEmpty());
    }

    void polledTimeOut()
    {
        Rig r;
        r.poll()->setChecked(true);
        r.due();
        r.run();  // no answer: 100 empty polls, more than the interval
        QVERIFY2(r.rec.boxes.isEmpty(), qPrintable(r.rec.boxes.join(",")));
        QCOMPARE(memo(r.form, "Memo2")->lines().last(), QString("Time out error"));
        // Polling goes on: the overdue read went out as the time-out ended.
        QCOMPARE(r.stats(), QString("Tx 2  Rx 0  Exc 0  Err 0  T/O 1  last - ms  min - ms  avg - ms  max - ms"));
        QVERIFY(r.poll()->isChecked());
        QCOMPARE(r.link.written.size(), size_t(2));

        // A checksum error is counted, logged, and shows no box either.
        r.link.arrive(hexBytes("010302002A399C"));
        r.run();
        QVERIFY(r.rec.boxes.isEmpty());
        QCOMPARE(memo(r.form, "Memo2")->lines().last(), QString("CRC error: Recv[57 156] Calc[57 155]"));
        QVERIFY(r.stats().startsWith("Tx 2  Rx 0  Exc 0  Err 1  T/O 1"));
    }

    // A failing check stops polling, before its box shows: a poll due under
    // the box would show it again.
    void pollStops_data()
    {
        QTest::addColumn<bool>("open");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("box");
        QTest::newRow("port closed") << false << "1" << "Quillan|COM Port is not open yet !!!!!";
        QTest::newRow("count too large") << true << "1921" << "Quillan|Communication Words/Bits must be 1 - 1920 !!!!";
        QTest::newRow("count empty") << true << "" << "Quillan|Communication Words/Bits must be 1 - 1920 !!!!";
    }
    void pollStops()
    {
        QFETCH(bool, open);
        QFETCH(QString, count);
        QFETCH(QString, box);
        Rig r;
        QList<bool> pollingAtBox;
        r.rec.onBox = [&](const QString &) { pollingAtBox << r.poll()->isChecked(); };
        if (!open)
            invoke(r.form, "BitBtn5Click");
        child<QLineEdit>(r.form, "MaskEdit3")->setText(count);
        r.poll()->setChecked(true);
        r.due();
        r.link.ms += 5000;
        r.due();
        QCOMPARE(r.rec.boxes, QStringList{box});
        QCOMPARE(pollingAtBox, QList<bool>{false});
        QVERIFY(!r.poll()->isChecked());
        QVERIFY(r.link.written.empty());
    }

    // A write from the grid waits for the read in flight, then goes out
    // before the next read, interval or not.
    void writeWaitsForTheCycle()
    {
        Rig r;
        setRequest(r.form, 2, 1, 1, 2);
        r.poll()->setChecked(true);
        r.due();
        DialogSeen seen;
        answerDialog(seen, "7");
        grid(r.form)->selectCell(1, 1);
        invoke(r.form, "BitBtn2Click");
        QCOMPARE(seen.runs, 1);
        r.due();
        QCOMPARE(r.link.written.size(), size_t(1));  // the read is still in flight
        r.link.arrive(kAnswer2);
        r.run();
        r.due();
        QCOMPARE(r.link.written.size(), size_t(2));
        QCOMPARE(r.lastWritten(), hexBytes("010600000007C808"));
        r.link.arrive(hexBytes("010600000007C808"));
        r.run();
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001|     7|0x0007"));
        r.due();
        QCOMPARE(r.link.written.size(), size_t(2));
        r.link.ms = 1000;
        r.due();
        QCOMPARE(r.lastWritten(), kRead2);
    }

    // Closing the port drops the queued writes with one line, as a lost
    // connection does: none is sent to the closed port or times out there.
    void closeDropsQueuedWrites()
    {
        Rig r;
        setRequest(r.form, 2, 1, 1, 2);
        r.poll()->setChecked(true);
        r.due();
        DialogSeen seen;
        answerDialog(seen, "7");
        grid(r.form)->selectCell(1, 1);
        invoke(r.form, "BitBtn2Click");
        invoke(r.form, "BitBtn5Click");
        r.run();
        r.link.ms += 5000;
        r.due();
        QCOMPARE(r.link.written.size(), size_t(1));  // the read only
        QCOMPARE(memo(r.form, "Memo2")->lines(), QStringList{"1 queued write not sent"});
        QVERIFY(r.stats().startsWith("Tx 1  Rx 0  Exc 0  Err 0  T/O 0"));
        QCOMPARE(r.rec.boxes, QStringList{"Quillan|COM Port is not open yet !!!!!"});
    }

    // Queued writes go out while the value dialog is open: the dialog's
    // value still goes to the cell picked, and each echo to its own row.
    void writesWhileTheDialogIsOpen()
    {
        Rig r;
        setRequest(r.form, 2, 1, 1, 8);
        r.poll()->setChecked(true);
        r.due();
        DialogSeen seen;
        for (auto [row, value] : {std::pair{3, "111"}, std::pair{5, "333"}}) {
            answerDialog(seen, value);
            grid(r.form)->selectCell(1, row);
            invoke(r.form, "BitBtn2Click");
        }
        r.link.arrive(hexBytes("0103100001000100010001000100010001000193B4"));
        r.run();
        QCOMPARE(r.lastWritten(), hexBytes("01060002006F6826"));  // 40003 = 111
        set_modal_runner([&](QDialog *d) {
            r.link.arrive(hexBytes("01060002006F6826"));
            r.run();  // 40005 = 333 goes out
            d->findChild<QLineEdit *>("Edit1")->setText("222");
            d->findChild<QPushButton *>("OKBtn")->click();
            return d->result();
        });
        grid(r.form)->selectCell(1, 7);
        invoke(r.form, "BitBtn2Click");
        QCOMPARE(gridRow(grid(r.form), 3), QString("40003|   111|0x006F"));
        r.link.arrive(hexBytes("01060004014D09AE"));
        r.run();
        QCOMPARE(r.lastWritten(), hexBytes("0106000600DEE993"));  // 40007 = 222
    }

    // Changing the format redraws the last answer, nothing is sent.
    void formatRedraw_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("column");  // header, then rows 1..4
        // Registers 3F80 0000 4049 0FDB: 1.0f and pi as IEEE-754 floats.
        QTest::newRow("Float ABCD") << "Float ABCD" << QStringList{"Float ABCD", "1", "-", "3.1415927", "-"};
        QTest::newRow("Long ABCD") << "Long ABCD" << QStringList{"Long ABCD", "1065353216", "-", "1078530011", "-"};
        QTest::newRow("Unsigned long CDAB")
            << "Unsigned long CDAB" << QStringList{"Unsigned long CDAB", "16256", "-", "266027081", "-"};
        QTest::newRow("Double ABCDEFGH: one group")
            << "Double ABCDEFGH" << QStringList{"Double ABCDEFGH", "0.00781250187095133", "-", "-", "-"};
        QTest::newRow("back to Signed") << "Signed" << QStringList{"Decimal", " 16256", "     0", " 16457", "  4059"};
    }
    void formatRedraw()
    {
        QFETCH(QString, format);
        QFETCH(QStringList, column);
        Rig r;
        setRequest(r.form, 2, 1, 1, 4);
        invoke(r.form, "BitBtn1Click");
        r.link.arrive(hexBytes("0103083F80000040490FDBD6F6"));
        r.run();
        auto *box = child<QComboBox>(r.form, "FormatBox");
        box->setCurrentText("Float CDAB");
        box->setCurrentText(format);
        StringGrid *g = grid(r.form);
        QStringList got;
        for (int row = 0; row <= 4; ++row)
            got << g->cellText(1, row);
        QCOMPARE(got, column);
        QCOMPARE(g->cellText(2, 2), QString("0x0000"));  // the Hex. cells stay
        QCOMPARE(g->cellText(2, 4), QString("0x0FDB"));
        QCOMPARE(r.link.written.size(), size_t(1));
    }

    // "Set data value" on a float row asks in that format and writes both
    // registers with code 16; bad text gets a box and the dialog stays.
    void floatWrite()
    {
        Rig r;
        setRequest(r.form, 2, 1, 1, 2);
        invoke(r.form, "BitBtn1Click");
        r.link.arrive(hexBytes("0103043F800000F7CF"));
        r.run();
        child<QComboBox>(r.form, "FormatBox")->setCurrentText("Float ABCD");
        QStringList fieldSeen;
        set_modal_runner([&](QDialog *d) {
            auto *edit = d->findChild<QLineEdit *>("Edit1");
            fieldSeen << edit->text() << d->findChild<QLabel *>("Label2")->text();
            edit->setText("2,5x");
            d->findChild<QPushButton *>("OKBtn")->click();
            edit->setText("2.5");
            d->findChild<QPushButton *>("OKBtn")->click();
            return d->result();
        });
        grid(r.form)->selectCell(1, 2);  // the "-" row belongs to the value above
        invoke(r.form, "BitBtn2Click");
        QCOMPARE(fieldSeen, (QStringList{"1", "Float ABCD"}));
        QCOMPARE(r.rec.boxes, QStringList{"Quillan|Float ABCD data error: not a number"});
        QCOMPARE(r.lastWritten(), hexBytes("0110000000020440200000E7A5"));
        r.link.arrive(hexBytes("01100000000241C8"));
        r.run();
        QCOMPARE(memo(r.form, "Memo2")->lines().first(), QString("Response Message: 01 10 00 00 00 02 41 C8 "));
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001|2.5|0x4020"));
        QCOMPARE(gridRow(grid(r.form), 2), QString("40002|-|0x0000"));
        QVERIFY(r.stats().startsWith("Tx 2  Rx 2  Exc 0  Err 0  T/O 0"));
    }

    void blockWrite()
    {
        Rig r;
        QStringList typed{"1\n2", "1\n0,1"};
        set_modal_runner([&](QDialog *d) {
            d->findChild<QSpinBox *>("StartAddress")->setValue(1);
            auto *values = d->findChild<QPlainTextEdit *>("Values");
            for (const QString &text : typed) {
                values->setPlainText(text);
                d->findChild<QPushButton *>("OKBtn")->click();
            }
            return d->result();
        });
        invoke(r.form, "WriteBlockClick");
        QCOMPARE(r.rec.boxes, QStringList{"Quillan|line 2: \"2\": a coil takes 0 or 1"});
        QCOMPARE(r.link.written.size(), size_t(1));
        QCOMPARE(r.lastWritten(), hexBytes("010F0000000301054F54"));
        r.link.arrive(hexBytes("010F0000000315CA"));
        r.run();
        QCOMPARE(memo(r.form, "Memo2")->lines().first(), QString("Response Message: 01 0F 00 00 00 03 15 CA "));
        QCOMPARE(grid(r.form)->cellText(8, 1), QString("On"));  // coil 1, the one on show
        QVERIFY(r.stats().startsWith("Tx 1  Rx 1  Exc 0  Err 0  T/O 0"));

        // An exception answer counts in Rx and Exc.
        invoke(r.form, "WriteBlockClick");
        r.link.arrive(hexBytes("018F02C5F1"));
        r.run();
        QVERIFY(r.stats().startsWith("Tx 2  Rx 2  Exc 1  Err 0  T/O 0"));
        invoke(r.form, "ResetStatsClick");
        QCOMPARE(r.stats(), QString("Tx 0  Rx 0  Exc 0  Err 0  T/O 0  last - ms  min - ms  avg - ms  max - ms"));
    }

    void writeBlockEnabled_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("output coils") << 0 << true;
        QTest::newRow("input relays") << 1 << false;
        QTest::newRow("holding registers") << 2 << true;
        QTest::newRow("input registers") << 3 << false;
    }
    void writeBlockEnabled()
    {
        QFETCH(int, kind);
        QFETCH(bool, enabled);
        Rig r;
        child<QComboBox>(r.form, "ComboBox1")->setCurrentIndex(kind);
        QCOMPARE(button(r.form, "WriteBlock")->isEnabled(), enabled);
    }

    // Master TCP polling a server that never answers: each exchange ends
    // after TimeoutMs as a time-out without a box; the connection lost stops
    // polling with one box.
    void tcpPolledTimeOut()
    {
        Recorder rec;
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        auto *form = new TMSTCP_Form;
        child<QLineEdit>(form, "MaskEdit4")->setText(QString::number(server.serverPort()));
        invoke(form, "BitBtn3Click");
        QVERIFY(server.waitForNewConnection(5000));
        QTcpSocket *peer = server.nextPendingConnection();
        QVERIFY(waitUntil([&] { return button(form, "BitBtn4")->isEnabled(); }));
        child<QSpinBox>(form, "TimeoutMs")->setValue(100);
        child<QSpinBox>(form, "PollInterval")->setValue(0);
        child<QCheckBox>(form, "PollBox")->setChecked(true);
        QByteArray seen;
        QVERIFY(waitUntil(
            [&] {
                seen += peer->readAll();
                return seen.size() >= 36;
            },
            5000));
        // Polled requests number their transactions 1, 2, 3.
        QCOMPARE(seen.left(12), hexBytes("000100000006010100000001"));
        QCOMPARE(seen.mid(12, 2), hexBytes("0002"));
        // Polling this fast, the counters are shown a moment later.
        QVERIFY(waitUntil([&] {
            return child<QLabel>(form, "StatsLabel")->text().section("T/O ", 1).section(' ', 0, 0).toInt() >= 2;
        }));
        QVERIFY(rec.boxes.isEmpty());
        QCOMPARE(memo(form, "Memo2")->lines().last(), QString("Time out error"));
        peer->close();
        QVERIFY(waitUntil([&] { return !child<QCheckBox>(form, "PollBox")->isChecked(); }));
        QTest::qWait(300);
        QCOMPARE(rec.boxes, QStringList{"Quillan|TCP Port is not open yet !!!!!"});
        delete form;
    }
};

QTEST_MAIN(TestMasterWorkbench)
#include "tst_master_workbench.moc"
