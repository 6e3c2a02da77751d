// The Master ASCII station on a fake line: framing from ":" to LF, the LRC
// check, the time-out over all empty reads, writes.
#include "Fake_link.h"
#include "Master_ascii.h"
#include "Station_rig.h"

namespace {

struct Rig {
    Recorder rec;
    FakeLink link;
    TMSASC_Form *form;

    Rig()
    {
        form = new TMSASC_Form;
        form->setLink(&link);
        invoke(form, "BitBtn4Click");
    }
    ~Rig() { delete form; }

    QTimer *timer() { return child<QTimer>(form, "Timer1"); }
    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i) {
            link.ms += 10;
            invoke(form, "Timer1Timer");
        }
    }
    int run(int max = 3000)
    {
        int n = 0;
        while (timer()->isActive() && n < max) {
            tick();
            ++n;
        }
        return n;
    }
    void send(int kind, int start, int count)
    {
        setRequest(form, kind, 1, start, count);
        invoke(form, "BitBtn1Click");
    }
};

QStringList valueRows(StringGrid *g)
{
    QStringList rows;
    for (int r = 1; r < g->rowCount(); ++r)
        rows << gridRow(g, r);
    return rows;
}

}  // namespace

class TestMasterAscii : public QObject {
    Q_OBJECT
private slots:
    void freshWindow()
    {
        Recorder rec;
        FakeLink link;
        TMSASC_Form form;
        form.setLink(&link);
        QCOMPARE(form.windowTitle(), QString("Modbus master ASCII type protocol"));
        QCOMPARE(child<QLabel>(&form, "Panel1")->text(), QString("Modbus Master ASCII Utility Program"));
        QCOMPARE(child<QLabel>(&form, "Label1")->text(), QString("COM2 Port 9600 O 7 1"));
        QCOMPARE(grid(&form)->rowCount(), 2);
        QVERIFY(!button(&form, "BitBtn2")->isEnabled());
        QVERIFY(!button(&form, "BitBtn5")->isEnabled());
        invoke(&form, "BitBtn1Click");
        QCOMPARE(rec.boxes, QStringList{"Quillan|COM Port is not open yet !!!!!"});
        invoke(&form, "BitBtn4Click");
        QCOMPARE(link.openedPort, 2);
        QCOMPARE(rec.statuses.last(), QString("Open COM2 port OK ......"));
    }

    void limits_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("box");
        QTest::newRow("61 holding") << 2 << 61 << "Quillan|Communication Words/Bits must be 1 - 60 !!!!";
        QTest::newRow("60 input") << 3 << 60 << "";
        QTest::newRow("961 coils") << 0 << 961 << "Quillan|Communication Words/Bits must be 1 - 960 !!!!";
        QTest::newRow("960 relays") << 1 << 960 << "";
        QTest::newRow("100 coils") << 0 << 100 << "";
    }
    void limits()
    {
        QFETCH(int, kind);
        QFETCH(int, count);
        QFETCH(QString, box);
        Rig r;
        r.send(kind, 1, count);
        QCOMPARE(r.rec.boxes, box.isEmpty() ? QStringList() : QStringList{box});
        QCOMPARE(int(r.link.written.size()), box.isEmpty() ? 1 : 0);
    }

    // The standard reading: digits up to the first blank, so "1_2" is 1.
    void fieldsStopAtBlank()
    {
        Rig r;
        child<QComboBox>(r.form, "ComboBox1")->setCurrentIndex(2);
        typeField(r.form, "MaskEdit1", "1_2");
        typeField(r.form, "MaskEdit2", "1_00");
        typeField(r.form, "MaskEdit3", "1_0");
        invoke(r.form, "BitBtn1Click");
        QCOMPARE(memo(r.form, "Memo1")->lines(), QStringList{"Query message: :010300000001FB"});
    }

    void answers_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("memo2");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("holding 42") << 2 << 1 << QByteArray(":010302002AD0\r\n")
                                    << QStringList{"Response Message: :010302002AD0"}
                                    << QStringList{"40001|    42|0x002A"};
        QTest::newRow("noise before the colon") << 2 << 1 << QByteArray("\x00zz\r\n:010302002AD0\r\n", 20)
                                                << QStringList{"Response Message: :010302002AD0"}
                                                << QStringList{"40001|    42|0x002A"};
        QTest::newRow("lrc error") << 2 << 1 << QByteArray(":010302002AD1\r\n")
                                   << QStringList{"Response Message: :010302002AD1",
                                                  "LRC error: Recv[68 49] Calc[68 48]"}
                                   << QStringList{"40001||"};
        QTest::newRow("too short for an lrc") << 2 << 1 << QByteArray(":\r\n")
                                              << QStringList{"Response Message: :", "LRC error: Recv[0 58] Calc[48 48]"}
                                              << QStringList{"40001||"};
        QTest::newRow("four characters") << 2 << 1 << QByteArray(":0\r\n")
                                         << QStringList{"Response Message: :0", "LRC error: Recv[58 48] Calc[48 48]"}
                                         << QStringList{"40001||"};
        QTest::newRow("exception") << 2 << 1 << QByteArray(":0183027A\r\n")
                                   << QStringList{"Response Message: :0183027A"} << QStringList{"40001||"};
        QTest::newRow("coils 10") << 0 << 10 << QByteArray(":010102FF02FB\r\n")
                                  << QStringList{"Response Message: :010102FF02FB"}
                                  << QStringList{"00008 - 00001|On|On|On|On|On|On|On|On", "00010 - 00009|||||||On|Off"};
    }
    void answers()
    {
        QFETCH(int, kind);
        QFETCH(int, count);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, memo2);
        QFETCH(QStringList, rows);
        Rig r;
        r.send(kind, 1, count);
        r.link.arrive(answer);
        r.run();
        QCOMPARE(memo(r.form, "Memo2")->lines(), memo2);
        QCOMPARE(valueRows(grid(r.form)), rows);
        // "Set data value" is offered for the writable kinds, checksum error or not.
        QVERIFY(button(r.form, "BitBtn2")->isEnabled());
        QCOMPARE(grid(r.form)->selectedCol(), kind < 2 ? 8 : 1);
        QVERIFY(r.rec.boxes.isEmpty());
    }

    void queryLogged()
    {
        Rig r;
        r.send(2, 1, 1);
        QCOMPARE(memo(r.form, "Memo1")->lines(), QStringList{"Query message: :010300000001FB"});
        QCOMPARE(r.link.written.at(0), QByteArray(":010300000001FB\r\n"));
    }

    // Examined one tick after its LF, finished one tick after that.
    void steps()
    {
        Rig r;
        r.send(2, 1, 1);
        r.link.arrive(":010302002AD0\r\n");
        r.tick();  // Start reads nothing
        QCOMPARE(r.link.queued(), size_t(15));
        r.tick(15);  // one character per tick, the LF last
        QCOMPARE(r.link.queued(), size_t(0));
        QVERIFY(memo(r.form, "Memo2")->lines().isEmpty());
        r.tick();  // examined
        QCOMPARE(memo(r.form, "Memo2")->lines().size(), 1);
        QVERIFY(r.timer()->isActive());
        r.tick();  // finished
        QVERIFY(!r.timer()->isActive());
    }

    // The time-out counts every empty read since the request, even with
    // characters in between.
    void timeOutCountsAllEmptyReads()
    {
        Rig r;
        r.send(2, 1, 1);
        bool timerRanDuringBox = true;
        r.rec.onBox = [&](const QString &) { timerRanDuringBox = r.timer()->isActive(); };
        const long t = r.link.ms;
        for (int i = 0; i < 60; ++i)  // one character every 30 ms, never an LF
            r.link.arrive(i == 0 ? ":" : "1", t + 30 * i);
        const int ticks = r.run();
        QCOMPARE(r.rec.boxes, QStringList{"Zentavor|RS232C comm. time out error"});
        QVERIFY(!timerRanDuringBox);
        QVERIFY2(ticks < 160, qPrintable(QString::number(ticks)));
        QCOMPARE(memo(r.form, "Memo2")->lines(), QStringList{"Time out error"});
    }

    // A line with no LF within the receive buffer ends the exchange, as a
    // time-out does but without its box: a babbling device never falls
    // silent, so nothing else would end it. The next request works.
    void overflow()
    {
        Rig r;
        r.send(2, 1, 1);
        r.link.arrive(":" + QByteArray(5000, 'A'));
        QCOMPARE(r.run(), 1 + 512 + 1);  // Start, 512 characters, the one too many
        QCOMPARE(memo(r.form, "Memo2")->lines(),
                 QStringList{"Receive buffer overflow: line longer than 512 characters dropped"});
        QVERIFY(r.rec.boxes.isEmpty());
        QVERIFY(!button(r.form, "BitBtn2")->isEnabled());

        r.link.clearQueue();
        r.send(2, 1, 1);
        r.link.arrive(":010302002AD0\r\n");
        r.run();
        QCOMPARE(valueRows(grid(r.form)), QStringList{"40001|    42|0x002A"});
        QVERIFY(button(r.form, "BitBtn2")->isEnabled());
    }

    void writeRegister()
    {
        Rig r;
        r.send(2, 1, 5);
        r.link.arrive(QByteArray(":01030A000100020003000400FFE9\r\n"));
        r.run();
        DialogSeen seen;
        answerDialog(seen, "1234");
        grid(r.form)->selectCell(2, 5);
        invoke(r.form, "StringGrid1DblClick");
        QCOMPARE(seen.title, QString("Register: 40005"));
        QCOMPARE(seen.field, QString("00FF"));
        QCOMPARE(seen.mode, QString("Hex."));
        const QByteArray sent = QByteArray(":010600041234AF\r\n");
        QCOMPARE(r.link.written.back(), sent);
        r.link.arrive(sent);
        r.run();
        QCOMPARE(gridRow(grid(r.form), 5), QString("40005|  4660|0x1234"));
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001|     1|0x0001"));
    }

    void formClose()
    {
        Recorder rec;
        FakeLink link;
        auto *form = new TMSASC_Form;
        form->setLink(&link);
        form->close();  // port not open: nothing to release
        QCOMPARE(rec.closed, QList<int>{MasterAscii});
        QCOMPARE(link.closes, 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

QTEST_MAIN(TestMasterAscii)
#include "tst_master_ascii.moc"
