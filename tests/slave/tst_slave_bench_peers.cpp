// The slave test bench against real Modbus masters: pymodbus and mbpoll over
// a socat pty pair and over loopback TCP. A master meets a dropped answer
// (it times out and goes on), a unit filter, a forced exception, a corrupted
// checksum and delayed answers.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QtTest>

#include "Bench_strip.h"
#include "Gui_services.h"
#include "Notices.h"
#include "Peers.h"
#include "Slave_ascii.h"
#include "Slave_rtu.h"
#include "Slave_tcp.h"

namespace {

// Runs the pymodbus client to its end while the station serves; its
// "COMMAND -> RESULT" lines in order.
QStringList runClient(const QString &mode, const QString &where, const QStringList &cmds, int slave = 1)
{
    PeerProcess p;
    if (!p.start(systemPython(), QStringList{testSourcePath("peers/slave_client.py"), mode, where,
                                             QString::number(slave)} + cmds))
        return {};
    waitUntil([&] { return p.process().state() == QProcess::NotRunning; }, 60000);
    p.stop();
    QStringList results;
    for (const QString &line : p.output().split('\n'))
        if (line.contains(" -> "))
            results << line.trimmed();
    if (results.size() != cmds.size())
        qWarning("the client said: %s", qPrintable(p.output()));
    return results;
}

QString mbpollRead(quint16 port, int unit)
{
    PeerProcess p;
    if (!p.start("mbpoll", {"-m", "tcp", "-p", QString::number(port), "-a", QString::number(unit), "-t", "4", "-0",
                            "-r", "0", "-c", "2", "-1", "127.0.0.1"}))
        return "mbpoll did not start";
    waitUntil([&] { return p.process().state() == QProcess::NotRunning; }, 20000);
    p.stop();
    return p.output();
}

QString stats(SlaveStationForm *f)
{
    f->refreshStats();
    return f->OptionStrip->StatsLabel->text();
}

}  // namespace

class TestSlaveBenchPeers : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        set_status_sink([](const std::string &) {});
        set_message_box_sink([](const std::string &t, const std::string &) { qWarning("box: %s", t.c_str()); });
    }
    void cleanupTestCase()
    {
        set_status_sink(nullptr);
        set_message_box_sink(nullptr);
    }

    // Every 2nd answer withheld: the master times out on it and the next
    // request is answered as usual.
    void rtuDroppedAnswerTimesOut()
    {
        PtyPair pair;
        QVERIFY(pair.ok());
        PtyPair::mapPort(1, pair.a());
        TSLRTU_Form f;
        f.tables.holdingRegisters[0] = 321;
        f.OptionStrip->DropEvery->setValue(2);
        f.BitBtn1Click();
        QVERIFY(f.serverOpen());
        const QStringList r = runClient("rtu", pair.b(), {"rh:0:1", "rh:0:1", "rh:0:1", "wr:1:7"});
        QCOMPARE(r.size(), 4);
        QCOMPARE(r[0], QString("rh:0:1 -> OK 321"));
        QVERIFY2(r[1].startsWith("rh:0:1 -> ERR"), qPrintable(r[1]));
        QCOMPARE(r[2], QString("rh:0:1 -> OK 321"));
        QVERIFY2(r[3].startsWith("wr:1:7 -> ERR"), qPrintable(r[3]));  // the 4th: dropped, but written
        QCOMPARE(f.tables.holdingRegisters[1], uint16_t(7));
        QVERIFY(f.Memo2->lines().contains("Dropped (every 2nd)"));
        QCOMPARE(stats(&f), QString("Req 4  Ans 2  Exc 0  Err 0  Ign 0  Drop 2"));
        f.BitBtn2Click();
    }

    // A corrupted LRC is refused by the master; a delayed answer is taken.
    void asciiCorruptAndDelay()
    {
        PtyPair pair;
        QVERIFY(pair.ok());
        PtyPair::mapPort(2, pair.a());
        TSLASC_Form f;
        f.tables.holdingRegisters[0] = 321;
        f.BitBtn1Click();
        QVERIFY(f.serverOpen());
        f.OptionStrip->CorruptBox->setChecked(true);
        QStringList r = runClient("ascii", pair.b(), {"rh:0:1"});
        QCOMPARE(r.size(), 1);
        QVERIFY2(r[0].startsWith("rh:0:1 -> ERR"), qPrintable(r[0]));
        QVERIFY(f.Memo2->lines().contains("Checksum corrupted"));
        f.OptionStrip->CorruptBox->setChecked(false);
        f.OptionStrip->DelayMs->setValue(400);
        // A pty end opened once with 7 data bits refuses them the next time:
        // the second master gets a line of its own.
        f.BitBtn2Click();
        PtyPair second;
        QVERIFY(second.ok());
        PtyPair::mapPort(2, second.a());
        f.BitBtn1Click();
        QVERIFY(f.serverOpen());
        r = runClient("ascii", second.b(), {"rh:0:1", "wr:0:5", "rh:0:1"});
        QCOMPARE(r, (QStringList{"rh:0:1 -> OK 321", "wr:0:5 -> OK", "rh:0:1 -> OK 5"}));
        f.BitBtn2Click();
    }

    // Modbus/TCP: a unit outside the filter is answered with exception 0B,
    // a listed one as usual; then every request gets the forced exception.
    void tcpFilterAndForcedException()
    {
        TSLTCP_Form f;
        const quint16 port = freeLoopbackPort();
        f.setListenPort(port);
        f.tables.holdingRegisters[0] = 321;
        f.tables.holdingRegisters[1] = 65535;
        f.BitBtn1Click();
        QVERIFY(f.ServerSocket1->isListening());
        f.OptionStrip->UnitIds->setText("1, 3-4");
        f.UnitIdsEditingFinished();
        const QString where = QString("127.0.0.1:%1").arg(port);
        QCOMPARE(runClient("tcp", where, {"rh:0:2"}, 2), QStringList{"rh:0:2 -> EXC 11"});
        QCOMPARE(runClient("tcp", where, {"rh:0:2"}, 4), QStringList{"rh:0:2 -> OK 321 65535"});
        const QString polled = mbpollRead(port, 1);
        QVERIFY2(polled.contains("[0]: \t321") || polled.contains(QRegularExpression("\\[0\\]:\\s+321")),
                 qPrintable(polled));

        f.OptionStrip->ForceException->setCurrentIndex(4);  // 04 Slave device failure
        QCOMPARE(runClient("tcp", where, {"rh:0:2", "wr:0:9"}, 1),
                 (QStringList{"rh:0:2 -> EXC 4", "wr:0:9 -> EXC 4"}));
        QCOMPARE(f.tables.holdingRegisters[0], uint16_t(321));  // nothing written behind an exception
        QVERIFY(f.Memo2->lines().contains("Forced exception 04"));
        QCOMPARE(stats(&f), QString("Req 5  Ans 5  Exc 3  Err 0  Ign 1  Drop 0"));
        QVERIFY(waitUntil([&] { return f.clientCount() == 0; }));
        f.BitBtn2Click();
    }
};

QTEST_MAIN(TestSlaveBenchPeers)
#include "tst_slave_bench_peers.moc"
