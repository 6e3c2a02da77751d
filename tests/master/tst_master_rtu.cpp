// The Master RTU station on a fake line and clock: requests, the receive
// state machine with its silence rule and time-out, CRC errors, writes.
#include <QMdiArea>
#include <QMdiSubWindow>

#include "Fake_link.h"
#include "Master_rtu.h"
#include "Port_Def.h"
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
    }
    ~Rig() { delete form; }

    QTimer *timer() { return child<QTimer>(form, "Timer1"); }
    void open() { invoke(form, "BitBtn4Click"); }
    void tick(int n = 1, int step = 10)
    {
        for (int i = 0; i < n; ++i) {
            link.ms += step;
            invoke(form, "Timer1Timer");
        }
    }
    // Ticks until the exchange is over; returns the number of ticks.
    int run(int step = 10, int max = 3000)
    {
        int n = 0;
        while (timer()->isActive() && n < max) {
            tick(1, step);
            ++n;
        }
        return n;
    }
    // Sends a read with the given fields and lets the answer arrive at once.
    int exchange(int kind, int start, int count, const QByteArray &answer)
    {
        setRequest(form, kind, 1, start, count);
        invoke(form, "BitBtn1Click");
        link.arrive(answer);
        return run();
    }
};

}  // namespace

class TestMasterRtu : public QObject {
    Q_OBJECT
private slots:
    void freshWindow()
    {
        Rig r;
        QCOMPARE(r.form->windowTitle(), QString("Modbus master RTU  type protocol"));
        QCOMPARE(child<QLabel>(r.form, "Panel1")->text(), QString("Modbus Master RTU Utility Program"));
        QCOMPARE(child<QLabel>(r.form, "Label1")->text(), QString("COM1 Port 9600 N 8 1"));
        QCOMPARE(button(r.form, "BitBtn3")->text(), QString("Port Define"));
        QVERIFY(button(r.form, "BitBtn1")->isEnabled());
        QVERIFY(button(r.form, "BitBtn3")->isEnabled());
        QVERIFY(button(r.form, "BitBtn4")->isEnabled());
        QVERIFY(!button(r.form, "BitBtn2")->isEnabled());
        QVERIFY(!button(r.form, "BitBtn5")->isEnabled());
        QVERIFY(!r.timer()->isActive());
        StringGrid *g = grid(r.form);
        QCOMPARE(g->rowCount(), 2);
        QCOMPARE(gridRow(g, 1), QString("00001 - 00001||||||||"));
        QCOMPARE(g->toolTip(), QString());
        QVERIFY(r.rec.boxes.isEmpty());
    }

    void notOpen()
    {
        Rig r;
        invoke(r.form, "BitBtn1Click");
        QCOMPARE(r.rec.boxes, QStringList{"Quillan|COM Port is not open yet !!!!!"});
        QVERIFY(r.link.written.empty());
        QVERIFY(!r.timer()->isActive());
    }

    void openAndClose()
    {
        Rig r;
        r.link.openWorks = false;
        r.open();
        QCOMPARE(r.rec.statuses.last(), QString("Open COM1 port error !!!!!"));
        QVERIFY(button(r.form, "BitBtn4")->isEnabled());
        r.link.openWorks = true;
        r.open();
        QCOMPARE(r.rec.statuses.last(), QString("Open COM1 port OK ......"));
        QVERIFY(!button(r.form, "BitBtn4")->isEnabled());
        QVERIFY(button(r.form, "BitBtn5")->isEnabled());
        invoke(r.form, "BitBtn5Click");
        QCOMPARE(r.rec.statuses.last(), QString("Close COM1 port OK ......"));
        QVERIFY(button(r.form, "BitBtn4")->isEnabled());
        QVERIFY(!button(r.form, "BitBtn5")->isEnabled());
    }

    void limits_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QStringList>("boxes");
        const QString words = "Quillan|Communication Words/Bits must be 1 - 120 !!!!";
        const QString bits = "Quillan|Communication Words/Bits must be 1 - 1920 !!!!";
        QTest::newRow("121 holding") << 2 << "1" << "1" << "121" << QStringList{words};
        QTest::newRow("121 input") << 3 << "1" << "1" << "121" << QStringList{words};
        QTest::newRow("120 holding") << 2 << "1" << "1" << "120" << QStringList{};
        QTest::newRow("1921 coils") << 0 << "1" << "1" << "1921" << QStringList{bits};
        QTest::newRow("1920 relays") << 1 << "1" << "1" << "1920" << QStringList{};
        QTest::newRow("200 coils") << 0 << "1" << "1" << "200" << QStringList{};
        QTest::newRow("count 0 coils") << 0 << "1" << "1" << "0" << QStringList{bits};
        QTest::newRow("device 248") << 2 << "248" << "1" << "1"
                                    << QStringList{"Quillan|Modbus Device Address must be 1 - 247 !!!!"};
        QTest::newRow("three boxes in order")
            << 2 << "" << "0" << "0"
            << QStringList{"Quillan|Modbus Device Address must be 1 - 247 !!!!",
                           "Quillan|Register/Relay Address must be 1 - 9999 !!!!", words};
    }
    void limits()
    {
        QFETCH(int, kind);
        QFETCH(QString, device);
        QFETCH(QString, start);
        QFETCH(QString, count);
        QFETCH(QStringList, boxes);
        Rig r;
        r.open();
        child<QComboBox>(r.form, "ComboBox1")->setCurrentIndex(kind);
        child<QLineEdit>(r.form, "MaskEdit1")->setText(device);
        child<QLineEdit>(r.form, "MaskEdit2")->setText(start);
        child<QLineEdit>(r.form, "MaskEdit3")->setText(count);
        invoke(r.form, "BitBtn1Click");
        QCOMPARE(r.rec.boxes, boxes);
        QCOMPARE(int(r.link.written.size()), boxes.isEmpty() ? 1 : 0);
        // A refused request leaves the grid of the last good one.
        if (!boxes.isEmpty())
            QCOMPARE(gridRow(grid(r.form), 1), QString("00001 - 00001||||||||"));
    }

    // The fields are read with the mask's blanks passed over: "1_2" is 12,
    // where the other stations stop at the blank and read 1.
    void fieldsIgnoreBlanks_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("query");  // how the Memo1 line starts
        QTest::newRow("blank between digits") << "1_2" << "1_00" << "1_0" << "Query message: 0C 03 00 63 00 0A ";
        QTest::newRow("leading blanks") << "__7" << "___5" << "__2" << "Query message: 07 03 00 04 00 02 ";
        QTest::newRow("blank after the digits") << "3_" << "12_" << "4" << "Query message: 03 03 00 0B 00 04 ";
    }
    void fieldsIgnoreBlanks()
    {
        QFETCH(QString, device);
        QFETCH(QString, start);
        QFETCH(QString, count);
        QFETCH(QString, query);
        Rig r;
        r.open();
        child<QComboBox>(r.form, "ComboBox1")->setCurrentIndex(2);
        typeField(r.form, "MaskEdit1", device);
        typeField(r.form, "MaskEdit2", start);
        typeField(r.form, "MaskEdit3", count);
        invoke(r.form, "BitBtn1Click");
        QVERIFY2(r.rec.boxes.isEmpty(), qPrintable(r.rec.boxes.join('\n')));
        QVERIFY2(memo(r.form, "Memo1")->lines().value(0).startsWith(query),
                 qPrintable(memo(r.form, "Memo1")->lines().value(0)));
    }

    void answers_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("memo2");
        QTest::addColumn<QStringList>("rows");  // grid rows 1..
        QTest::addColumn<bool>("writable");
        QTest::addColumn<int>("selectedCol");
        QTest::newRow("holding 42") << 2 << 1 << hexBytes("010302002A399B")
                                    << QStringList{"Response Message: 01 03 02 00 2A 39 9B "}
                                    << QStringList{"40001|    42|0x002A"} << true << 1;
        QTest::newRow("crc error") << 2 << 1 << hexBytes("010302002A399C")
                                   << QStringList{"Response Message: 01 03 02 00 2A 39 9C ",
                                                  "CRC error: Recv[57 156] Calc[57 155]"}
                                   << QStringList{"40001||"} << true << 1;
        QTest::newRow("one byte is a crc error")
            << 2 << 1 << hexBytes("01") << QStringList{"Response Message: 01 ", "CRC error: Recv[0 1] Calc[255 255]"}
            << QStringList{"40001||"} << true << 1;
        QTest::newRow("exception") << 2 << 2 << hexBytes("018302C0F1")
                                   << QStringList{"Response Message: 01 83 02 C0 F1 "} << QStringList{"40001||", "40002||"}
                                   << true << 1;
        QTest::newRow("input registers") << 3 << 1 << hexBytes("010402FFFFB880")
                                         << QStringList{"Response Message: 01 04 02 FF FF B8 80 "}
                                         << QStringList{"30001|    -1|0xFFFF"} << false << 1;
        QTest::newRow("coils 10") << 0 << 10 << hexBytes("010102FF0279CD")
                                  << QStringList{"Response Message: 01 01 02 FF 02 79 CD "}
                                  << QStringList{"00008 - 00001|On|On|On|On|On|On|On|On", "00010 - 00009|||||||On|Off"}
                                  << true << 8;
        QTest::newRow("relays 3") << 1 << 3 << hexBytes("01020105618B")
                                  << QStringList{"Response Message: 01 02 01 05 61 8B "}
                                  << QStringList{"10003 - 10001||||||On|Off|On"} << false << 8;
    }
    void answers()
    {
        QFETCH(int, kind);
        QFETCH(int, count);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, memo2);
        QFETCH(QStringList, rows);
        QFETCH(bool, writable);
        QFETCH(int, selectedCol);
        Rig r;
        r.open();
        r.exchange(kind, 1, count, answer);
        QCOMPARE(memo(r.form, "Memo2")->lines(), memo2);
        StringGrid *g = grid(r.form);
        QStringList got;
        for (int row = 1; row < g->rowCount(); ++row)
            got << gridRow(g, row);
        QCOMPARE(got, rows);
        QCOMPARE(button(r.form, "BitBtn2")->isEnabled(), writable);
        QCOMPARE(g->toolTip(), writable ? QString("Double click to set data value") : QString());
        QCOMPARE(g->selectedRow(), 1);
        QCOMPARE(g->selectedCol(), selectedCol);
        QVERIFY(r.rec.boxes.isEmpty());
        QVERIFY(!r.timer()->isActive());
    }

    void queryLogged()
    {
        Rig r;
        r.open();
        setRequest(r.form, 2, 1, 1, 1);
        invoke(r.form, "BitBtn1Click");
        QCOMPARE(memo(r.form, "Memo1")->lines(), QStringList{"Query message: 01 03 00 00 00 01 84 0A "});
        QCOMPARE(r.link.written.size(), size_t(1));
        QCOMPARE(r.link.written[0], hexBytes("010300000001840A"));
        QVERIFY(r.timer()->isActive());
        QCOMPARE(r.timer()->interval(), 10);
        QVERIFY(!button(r.form, "BitBtn2")->isEnabled());
    }

    // The answer is examined only after 100 ms without a byte, one tick after
    // the silence was seen, and finished one tick after that.
    void silence()
    {
        Rig r;
        r.open();
        setRequest(r.form, 2, 1, 1, 1);
        invoke(r.form, "BitBtn1Click");
        r.link.arrive(hexBytes("010302002A399B"));
        r.tick();  // Start reads nothing
        QCOMPARE(r.link.queued(), size_t(7));
        r.tick(7);  // one byte per tick
        QCOMPARE(r.link.queued(), size_t(0));
        r.tick(10);  // the 100 ms of silence are seen on the last of these
        QVERIFY(memo(r.form, "Memo2")->lines().isEmpty());
        r.tick();  // examined
        QCOMPARE(memo(r.form, "Memo2")->lines().size(), 1);
        QVERIFY(r.timer()->isActive());
        r.tick();  // finished
        QVERIFY(!r.timer()->isActive());
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001|    42|0x002A"));
    }

    // A backlog in the port's queue never ends an answer early, however late
    // the ticks come: silence counts from when the station took the last byte.
    void backlogIsNotSilence()
    {
        Rig r;
        r.open();
        setRequest(r.form, 2, 1, 1, 1);
        invoke(r.form, "BitBtn1Click");
        r.link.arrive(hexBytes("010302002A399B"), r.link.ms);
        r.run(250);
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001|    42|0x002A"));
        QCOMPARE(memo(r.form, "Memo2")->lines().size(), 1);
    }

    // The silence is measured across the turn of the minute.
    void minuteTurn()
    {
        Rig r;
        r.link.ms = 59900;
        r.open();
        const int ticks = r.exchange(2, 1, 1, hexBytes("010302002A399B"));
        QVERIFY2(ticks < 30, qPrintable(QString::number(ticks)));
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001|    42|0x002A"));
    }

    // A pause of 100 ms inside an answer cuts it: the first part fails its
    // CRC alone, the rest waits in the port for the next request.
    void cutAnswer()
    {
        Rig r;
        r.open();
        setRequest(r.form, 2, 1, 1, 1);
        invoke(r.form, "BitBtn1Click");
        const long t = r.link.ms;
        r.link.arrive(hexBytes("010302"), t);
        r.link.arrive(hexBytes("002A399B"), t + 300);
        r.run();
        QCOMPARE(memo(r.form, "Memo2")->lines().value(0), QString("Response Message: 01 03 02 "));
        QVERIFY(memo(r.form, "Memo2")->lines().value(1).startsWith("CRC error: Recv[3 2] Calc["));
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001||"));
        QCOMPARE(r.link.queued(), size_t(4));
    }

    void timeOut()
    {
        Rig r;
        r.open();
        r.exchange(2, 1, 1, hexBytes("010302002A399B"));
        bool timerRanDuringBox = true;
        r.rec.onBox = [&](const QString &) { timerRanDuringBox = r.timer()->isActive(); };
        invoke(r.form, "BitBtn1Click");
        const int ticks = r.run();
        QCOMPARE(ticks, 1 + 100 + 1);  // Start, 100 empty polls, TimeOut
        QCOMPARE(r.rec.boxes, QStringList{"Zentavor|RS232C comm. time out error"});
        QVERIFY(!timerRanDuringBox);
        QCOMPARE(memo(r.form, "Memo2")->lines(),
                 (QStringList{"Response Message: 01 03 02 00 2A 39 9B ", "Time out error"}));
        QVERIFY(!r.timer()->isActive());
        // The grid keeps its layout; "Set data value" stays as it was.
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001||"));
        QVERIFY(!button(r.form, "BitBtn2")->isEnabled());
    }

    // Once the first byte is in, only silence ends the answer.
    void noTimeOutOnceReceiving()
    {
        Rig r;
        r.open();
        setRequest(r.form, 2, 1, 1, 1);
        invoke(r.form, "BitBtn1Click");
        r.tick(90);  // 89 empty polls
        const long t = r.link.ms;
        for (int i = 0; i < 30; ++i)  // a slow trickle, one byte every 90 ms
            r.link.arrive(QByteArray(1, char(i)), t + 90 * i);
        r.run();
        QVERIFY(r.rec.boxes.isEmpty());
        QCOMPARE(memo(r.form, "Memo2")->lines().size(), 2);  // the frame and its CRC error
        QVERIFY(memo(r.form, "Memo2")->lines().value(0).endsWith("1C 1D "));
    }

    // A device that never falls silent (babbling, or at the wrong baud rate)
    // overflows the receive buffer: the exchange ends there, as after a
    // time-out but without its box, and the next request works as usual.
    void overrun()
    {
        Rig r;
        r.open();
        setRequest(r.form, 2, 1, 1, 1);
        invoke(r.form, "BitBtn1Click");
        r.link.arrive(QByteArray(5000, char(0x55)));  // far more than the ticks below take
        QCOMPARE(r.run(), 1 + 512 + 1);  // Start, 512 bytes, the one too many
        QCOMPARE(memo(r.form, "Memo2")->lines(),
                 QStringList{"Receive buffer overflow: answer longer than 512 bytes dropped"});
        QVERIFY(r.rec.boxes.isEmpty());
        QVERIFY(!button(r.form, "BitBtn2")->isEnabled());
        QCOMPARE(grid(r.form)->toolTip(), QString());
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001||"));

        r.link.clearQueue();  // the device falls silent
        r.exchange(2, 1, 1, hexBytes("010302002A399B"));
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001|    42|0x002A"));
        QVERIFY(button(r.form, "BitBtn2")->isEnabled());
    }

    // A new request during an exchange starts the machine again.
    void newRequestRestarts()
    {
        Rig r;
        r.open();
        setRequest(r.form, 2, 1, 1, 1);
        invoke(r.form, "BitBtn1Click");
        r.link.arrive(hexBytes("0103"));
        r.tick(3);  // Start, then both bytes taken
        QCOMPARE(r.link.queued(), size_t(0));
        invoke(r.form, "BitBtn1Click");  // what was taken so far is dropped
        r.link.arrive(hexBytes("010302002A399B"));
        r.run();
        QCOMPARE(memo(r.form, "Memo2")->lines(), QStringList{"Response Message: 01 03 02 00 2A 39 9B "});
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001|    42|0x002A"));
        QCOMPARE(r.link.written.size(), size_t(2));
    }

    void writeCoil_data()
    {
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("title");  // empty: no dialog
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("logged");  // the Memo1 line
        QTest::newRow("coil 10") << 7 << 2 << "Relay: 00010" << hexBytes("01050009FF005C38")
                                 << "Query message: 01 05 00 09 FF 00 5C 38 ";
        QTest::newRow("coil 11 was not read") << 6 << 2 << "" << QByteArray() << "";
        QTest::newRow("coil 1") << 8 << 1 << "Relay: 00001" << hexBytes("01050000FF008C3A")
                                << "Query message: 01 05 00 00 FF 00 8C 3A ";
        QTest::newRow("address column") << 0 << 1 << "" << QByteArray() << "";
        QTest::newRow("header row") << 3 << 0 << "" << QByteArray() << "";
    }
    void writeCoil()
    {
        QFETCH(int, col);
        QFETCH(int, row);
        QFETCH(QString, title);
        QFETCH(QByteArray, sent);
        QFETCH(QString, logged);
        Rig r;
        r.open();
        r.exchange(0, 1, 10, hexBytes("0101020000B9FC"));
        DialogSeen seen;
        answerDialog(seen, "On");
        grid(r.form)->selectCell(col, row);
        invoke(r.form, "StringGrid1DblClick");
        QCOMPARE(seen.runs, title.isEmpty() ? 0 : 1);
        if (title.isEmpty()) {
            QCOMPARE(r.link.written.size(), size_t(1));
            return;
        }
        QCOMPARE(seen.title, title);
        QCOMPARE(seen.field, QString("Off"));
        QCOMPARE(r.link.written.back(), sent);
        QCOMPARE(memo(r.form, "Memo1")->lines(), QStringList{logged});
        // The echo changes only the written cell.
        r.link.arrive(sent);
        r.run();
        QCOMPARE(grid(r.form)->cellText(col, row), QString("On"));
        QCOMPARE(gridRow(grid(r.form), 2).count("Off"), row == 2 ? 1 : 2);
    }

    void writeRegister_data()
    {
        QTest::addColumn<int>("col");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("hex column") << 2 << "00FF" << "Hex." << "1234" << hexBytes("010600041234C57C");
        QTest::newRow("decimal column") << 1 << "255" << "Decimal" << "-2" << hexBytes("01060004FFFE087B");
        QTest::newRow("cancel") << 1 << "255" << "Decimal" << "" << QByteArray();
    }
    void writeRegister()
    {
        QFETCH(int, col);
        QFETCH(QString, field);
        QFETCH(QString, mode);
        QFETCH(QString, typed);
        QFETCH(QByteArray, sent);
        Rig r;
        r.open();
        r.exchange(2, 1, 5, hexBytes("01030A000100020003000400FF4F67"));
        DialogSeen seen;
        answerDialog(seen, typed);
        grid(r.form)->selectCell(col, 5);
        invoke(r.form, "BitBtn2Click");
        QCOMPARE(seen.runs, 1);
        QCOMPARE(seen.title, QString("Register: 40005"));
        QCOMPARE(seen.field, field);
        QCOMPARE(seen.mode, mode);
        if (sent.isEmpty()) {
            QCOMPARE(r.link.written.size(), size_t(1));
            return;
        }
        QCOMPARE(r.link.written.back(), sent);
        r.link.arrive(sent);
        r.run();
        QCOMPARE(gridRow(grid(r.form), 5),
                 typed == "1234" ? QString("40005|  4660|0x1234") : QString("40005|    -2|0xFFFE"));
        QCOMPARE(gridRow(grid(r.form), 4), QString("40004|     4|0x0004"));
    }

    // Nothing received yet: the dialog starts from 0; input registers and a
    // disabled button offer nothing.
    void writeChoices()
    {
        Rig r;
        r.open();
        setRequest(r.form, 2, 1, 1, 3);
        invoke(r.form, "BitBtn1Click");
        DialogSeen seen;
        answerDialog(seen, "");
        grid(r.form)->selectCell(2, 3);
        invoke(r.form, "BitBtn2Click");
        QCOMPARE(seen.runs, 1);
        QCOMPARE(seen.field, QString("0000"));
        invoke(r.form, "StringGrid1DblClick");  // "Set data value" is disabled meanwhile
        QCOMPARE(seen.runs, 1);
        setRequest(r.form, 3, 1, 1, 3);
        invoke(r.form, "BitBtn1Click");
        grid(r.form)->selectCell(1, 1);
        invoke(r.form, "BitBtn2Click");
        QCOMPARE(seen.runs, 1);
    }

    // Changing the used port's settings while it is open closes the port and
    // asks for a reopen.
    void portChangeWhileOpen()
    {
        Rig r;
        r.open();
        int runs = 0;
        set_modal_runner([&](QDialog *d) {
            ++runs;
            if (!qobject_cast<TPort_DefDlg *>(d))
                return int(QDialog::Rejected);
            d->findChild<QComboBox *>("ComboBox2")->setCurrentText("19200");
            d->findChild<QPushButton *>("OKBtn")->click();
            return d->result();
        });
        invoke(r.form, "BitBtn3Click");
        QCOMPARE(runs, 1);
        QCOMPARE(r.rec.statuses.last(), QString("Close COM1 port OK ......"));
        QVERIFY(button(r.form, "BitBtn4")->isEnabled());
        QCOMPARE(child<QLabel>(r.form, "Label1")->text(), QString("COM1 Port 19200 N 8 1"));
        QCOMPARE(r.rec.boxes,
                 QStringList{"Quillan|Port's definition has been changed.....\n, Please reopen port again...."});
        QCOMPARE(r.link.closes, 1);
    }

    void formClose()
    {
        Rig r;
        r.open();
        QPointer<TMSRTU_Form> f = r.form;
        r.form->close();
        QCOMPARE(r.rec.closed, QList<int>{MasterRtu});
        QCOMPARE(r.link.closes, 1);
        QCOMPARE(r.rec.statuses.size(), 1);  // no notice for the close
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(f.isNull());
        r.form = nullptr;
    }

    // As the main frame shows it: closing the frame around the station runs
    // its close handler once, releases the port and frees both.
    void inMdiFrame()
    {
        Recorder rec;
        FakeLink link;
        QMdiArea area;
        QPointer<TMSRTU_Form> form = new TMSRTU_Form;
        form->setLink(&link);
        QPointer<QMdiSubWindow> sub = area.addSubWindow(form);
        sub->showMaximized();
        invoke(form, "BitBtn4Click");
        QVERIFY(sub->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(rec.closed, QList<int>{MasterRtu});
        QCOMPARE(link.closes, 1);
        QVERIFY(form.isNull());
        QVERIFY(sub.isNull());
    }
};

QTEST_MAIN(TestMasterRtu)
#include "tst_master_rtu.moc"
