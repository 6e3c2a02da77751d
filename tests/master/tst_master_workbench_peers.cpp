// The master workbench against real slaves: the three masters against
// pymodbus over pty pairs and loopback, Master RTU and Master TCP against a
// libmodbus slave the same ways. Each polls, writes a block of floats and of
// coils, writes one 32-bit value from the grid, and reads it all back.
#include <QCheckBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSpinBox>
#include <memory>

#include "Master_ascii.h"
#include "Master_rtu.h"
#include "Master_tcp.h"
#include "Peers.h"
#include "Station_rig.h"

namespace {

enum Transport { Rtu, Ascii, Tcp };
enum Peer { Pymodbus, Libmodbus };

struct Station {
    Transport transport;
    std::unique_ptr<Recorder> rec = std::make_unique<Recorder>();
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<PeerProcess> peer;
    MasterWindow *form = nullptr;

    explicit Station(Transport t) : transport(t) {}
    ~Station()
    {
        delete form;  // releases the port before the pty pair goes
        peer.reset();
        pty.reset();
    }

    bool startPeer(Peer which, const QString &where)
    {
        peer = std::make_unique<PeerProcess>();
        QString program;
        QStringList args;
        if (which == Pymodbus) {
            program = systemPython();
            args << testSourcePath("peers/master_test_slave.py");
            if (transport == Tcp)
                args << "tcp" << where;
            else
                args << (transport == Rtu ? QStringList{"rtu", where, "9600", "N", "8", "1"}
                                          : QStringList{"ascii", where, "9600", "O", "7", "1"});
        } else {
            program = LIBMODBUS_SLAVE;
            args << (transport == Tcp ? QStringList{"tcp", where} : QStringList{"rtu", where, "9600"});
        }
        return peer->start(program, args) && peer->waitForOutput("READY");
    }

    bool start(Peer which)
    {
        if (transport == Tcp) {
            const quint16 port = freeLoopbackPort();
            if (!startPeer(which, QString::number(port)))
                return false;
            form = new TMSTCP_Form;
            child<QLineEdit>(form, "MaskEdit4")->setText(QString::number(port));
            invoke(form, "BitBtn3Click");
            return waitUntil([this] { return button(form, "BitBtn4")->isEnabled(); });
        }
        pty = std::make_unique<PtyPair>();
        if (!pty->ok())
            return false;
        PtyPair::mapPort(transport == Rtu ? 1 : 2, pty->a());
        if (!startPeer(which, pty->b()))
            return false;
        if (transport == Rtu)
            form = new TMSRTU_Form;
        else
            form = new TMSASC_Form;
        invoke(form, "BitBtn4Click");
        return button(form, "BitBtn5")->isEnabled();
    }

    // Tx, Rx, Exc, Err, T/O from the counters.
    QList<int> counts() const
    {
        const QString text = child<QLabel>(form, "StatsLabel")->text();
        static const QRegularExpression re("^Tx (\\d+)  Rx (\\d+)  Exc (\\d+)  Err (\\d+)  T/O (\\d+)");
        const auto m = re.match(text);
        QList<int> out;
        for (int i = 1; i <= 5; ++i)
            out << m.captured(i).toInt();
        return out;
    }
    // Waits until every request written has been answered or given up.
    bool settled(int ms = 5000)
    {
        return waitUntil(
            [this] {
                const QList<int> c = counts();
                const bool receiving = transport != Tcp && form->findChild<QTimer *>("Timer1")->isActive();
                return !receiving && c[0] > 0 && c[1] + c[3] + c[4] >= c[0];
            },
            ms);
    }
    bool read(int kind, int start, int count)
    {
        setRequest(form, kind, 1, start, count);
        invoke(form, "BitBtn1Click");
        return settled();
    }
    bool writeBlock(const QString &values, int start)
    {
        set_modal_runner([&](QDialog *d) {
            d->findChild<QSpinBox *>("StartAddress")->setValue(start);
            d->findChild<QPlainTextEdit *>("Values")->setPlainText(values);
            d->findChild<QPushButton *>("OKBtn")->click();
            return d->result();
        });
        invoke(form, "WriteBlockClick");
        set_modal_runner({});
        return settled();
    }
    QStringList valueColumn()
    {
        QStringList out;
        for (int r = 1; r < grid(form)->rowCount(); ++r)
            out << grid(form)->cellText(1, r).trimmed();
        return out;
    }
};

const char *name(Transport t) { return t == Rtu ? "rtu" : t == Ascii ? "ascii" : "tcp"; }

}  // namespace

class TestMasterWorkbenchPeers : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        const QString missing = missingSerialPeers();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }

    void workbench_data()
    {
        QTest::addColumn<int>("transport");
        QTest::addColumn<int>("peer");
        QTest::addColumn<QString>("first");  // holding register 40001 as the slave starts
        for (Transport t : {Rtu, Ascii, Tcp})
            QTest::addRow("%s, pymodbus", name(t)) << int(t) << int(Pymodbus) << "1000";
        for (Transport t : {Rtu, Tcp})
            QTest::addRow("%s, libmodbus", name(t)) << int(t) << int(Libmodbus) << "2000";
    }
    void workbench()
    {
        QFETCH(int, transport);
        QFETCH(int, peer);
        QFETCH(QString, first);
        Station s{Transport(transport)};
        QVERIFY2(s.start(Peer(peer)), qPrintable(s.peer ? s.peer->output() : QString("no line")));

        // Polling as fast as the slave answers, then stopped by hand.
        setRequest(s.form, 2, 1, 1, 4);
        child<QSpinBox>(s.form, "PollInterval")->setValue(0);
        child<QCheckBox>(s.form, "PollBox")->setChecked(true);
        QVERIFY(waitUntil([&] { return s.counts()[1] >= 5; }, 10000));
        child<QCheckBox>(s.form, "PollBox")->setChecked(false);
        QVERIFY(s.settled());
        QList<int> c = s.counts();
        QCOMPARE(c.mid(2), (QList<int>{0, 0, 0}));  // no exception, error or time-out
        QCOMPARE(grid(s.form)->cellText(1, 1).trimmed(), first);

        // Floats written as a block (code 16) and read back.
        child<QComboBox>(s.form, "FormatBox")->setCurrentText("Float ABCD");
        QVERIFY(s.writeBlock("1.5\n-2", 11));
        QVERIFY(s.read(2, 11, 4));
        QCOMPARE(s.valueColumn(), (QStringList{"1.5", "-", "-2", "-"}));
        QCOMPARE(grid(s.form)->cellText(2, 1), QString("0x3FC0"));

        // One 32-bit value from the grid, written whole with code 16.
        child<QComboBox>(s.form, "FormatBox")->setCurrentText("Long CDAB");
        DialogSeen seen;
        answerDialog(seen, "-100000");
        grid(s.form)->selectCell(1, 3);
        invoke(s.form, "BitBtn2Click");
        set_modal_runner({});
        QVERIFY(s.settled());
        QVERIFY(s.read(2, 11, 4));
        QCOMPARE(s.valueColumn(), (QStringList{"16320", "-", "-100000", "-"}));  // 3FC0 0000 read CDAB

        // Coils written as a block (code 15) and read back.
        child<QComboBox>(s.form, "ComboBox1")->setCurrentIndex(0);
        QVERIFY(s.writeBlock("1,1,0,1", 21));
        QVERIFY(s.read(0, 21, 4));
        QCOMPARE(gridRow(grid(s.form), 1), QString("00024 - 00021|||||On|Off|On|On"));

        c = s.counts();
        QCOMPARE(c.mid(2), (QList<int>{0, 0, 0}));
        QVERIFY2(s.rec->boxes.isEmpty(), qPrintable(s.rec->boxes.join("\n")));
    }
};

QTEST_MAIN(TestMasterWorkbenchPeers)
#include "tst_master_workbench_peers.moc"
