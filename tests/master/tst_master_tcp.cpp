// The Master TCP station against a test server on 127.0.0.1 that answers
// exactly as each case needs: split answers, several in one read, bad
// length fields, refused connections, a peer that hangs up.
#include <QCheckBox>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>

#include "Master_tcp.h"
#include "Peers.h"
#include "Station_rig.h"

namespace {

// Accepts one connection and hands each request to a script.
class ScriptedServer : public QObject {
public:
    std::function<void(QTcpSocket *, const QByteArray &)> onRequest;
    QTcpSocket *client = nullptr;

    bool listen()
    {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            client = server_.nextPendingConnection();
            connect(client, &QTcpSocket::readyRead, this, [this] {
                const QByteArray request = client->readAll();
                if (onRequest)
                    onRequest(client, request);
            });
        });
        return server_.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return server_.serverPort(); }

private:
    QTcpServer server_;
};

struct Rig {
    Recorder rec;
    TMSTCP_Form *form = new TMSTCP_Form;
    ~Rig() { delete form; }

    bool connectTo(quint16 port)
    {
        child<QLineEdit>(form, "Edit1")->setText("127.0.0.1");
        child<QLineEdit>(form, "MaskEdit4")->setText(QString::number(port));
        invoke(form, "BitBtn3Click");
        waitUntil([this] { return button(form, "BitBtn4")->isEnabled() || !rec.boxes.isEmpty(); });
        return button(form, "BitBtn4")->isEnabled();
    }
    QStringList memo2() { return memo(form, "Memo2")->lines(); }
};

QByteArray tcpAnswer(const QByteArray &pdu, int transaction = 0)
{
    QByteArray head(6, '\0');
    head[0] = char(transaction >> 8);
    head[1] = char(transaction);
    head[5] = char(pdu.size());
    return head + pdu;
}

}  // namespace

class TestMasterTcp : public QObject {
    Q_OBJECT
private slots:
    void freshWindow()
    {
        Rig r;
        QCOMPARE(r.form->windowTitle(), QString("Modbus/TCP master type protocol"));
        QCOMPARE(child<QLabel>(r.form, "Panel1")->text(), QString("Modbus/TCP Master Utility Program"));
        QCOMPARE(child<QLineEdit>(r.form, "Edit1")->text(), QString("127.0.0.1"));
        QCOMPARE(child<QLineEdit>(r.form, "MaskEdit4")->text(), QString("502"));
        QCOMPARE(button(r.form, "BitBtn3")->text(), QString("open"));
        QCOMPARE(button(r.form, "BitBtn4")->text(), QString("close"));
        QVERIFY(button(r.form, "BitBtn3")->isEnabled());
        QVERIFY(!button(r.form, "BitBtn4")->isEnabled());
        QVERIFY(!button(r.form, "BitBtn2")->isEnabled());
        invoke(r.form, "BitBtn1Click");
        QCOMPARE(r.rec.boxes, QStringList{"Quillan|TCP Port is not open yet !!!!!"});
    }

    void limits_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("box");
        QTest::newRow("121 input") << 3 << 121 << "Quillan|Communication Words/Bits must be 1 - 120 !!!!";
        QTest::newRow("1921 coils") << 0 << 1921 << "Quillan|Communication Words/Bits must be 1 - 1920 !!!!";
        QTest::newRow("1920 coils") << 0 << 1920 << "";
    }
    void limits()
    {
        QFETCH(int, kind);
        QFETCH(int, count);
        QFETCH(QString, box);
        ScriptedServer server;
        QVERIFY(server.listen());
        Rig r;
        QVERIFY(r.connectTo(server.port()));
        setRequest(r.form, kind, 1, 1, count);
        invoke(r.form, "BitBtn1Click");
        QCOMPARE(r.rec.boxes, box.isEmpty() ? QStringList() : QStringList{box});
        QCOMPARE(memo(r.form, "Memo1")->lines().size(), box.isEmpty() ? 1 : 0);
    }

    // How the answers are cut from the stream, whatever the reads bring.
    void answers_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");  // written with a pause between
        QTest::addColumn<QStringList>("memo2");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QStringList>("lengths");  // "Receive data length= " notices
        const QByteArray good = tcpAnswer(hexBytes("0103040 00AFFFF").replace(' ', ""), 0x0102);
        const QString goodLine = "Response message: 01 02 00 00 00 07 01 03 04 00 0A FF FF ";
        QTest::newRow("one answer") << QList<QByteArray>{good} << QStringList{goodLine}
                                    << QStringList{"40001|    10|0x000A", "40002|    -1|0xFFFF"}
                                    << QStringList{"Receive data length= 13"};
        QTest::newRow("split in two") << QList<QByteArray>{good.left(5), good.mid(5)} << QStringList{goodLine}
                                      << QStringList{"40001|    10|0x000A", "40002|    -1|0xFFFF"}
                                      << QStringList{"Receive data length= 5", "Receive data length= 8"};
        QTest::newRow("split in the data") << QList<QByteArray>{good.left(10), good.mid(10)} << QStringList{goodLine}
                                           << QStringList{"40001|    10|0x000A", "40002|    -1|0xFFFF"}
                                           << QStringList{"Receive data length= 10", "Receive data length= 3"};
        const QByteArray second = tcpAnswer(hexBytes("0103040001 0002").replace(' ', ""));
        QTest::newRow("two in one read")
            << QList<QByteArray>{good + second}
            << QStringList{goodLine, "Response message: 00 00 00 00 00 07 01 03 04 00 01 00 02 "}
            << QStringList{"40001|     1|0x0001", "40002|     2|0x0002"} << QStringList{"Receive data length= 26"};
        QTest::newRow("length field 1") << QList<QByteArray>{hexBytes("000000000001 01")}
                                        << QStringList{"Length field error: 1, 7 bytes dropped"}
                                        << QStringList{"40001||", "40002||"} << QStringList{"Receive data length= 7"};
        QTest::newRow("length field 255")
            << QList<QByteArray>{hexBytes("0000000000FF0103040001")}
            << QStringList{"Length field error: 255, 11 bytes dropped"} << QStringList{"40001||", "40002||"}
            << QStringList{"Receive data length= 11"};
        QTest::newRow("fewer than 6 bytes") << QList<QByteArray>{hexBytes("0000")} << QStringList{}
                                            << QStringList{"40001||", "40002||"} << QStringList{"Receive data length= 2"};
        QTest::newRow("exception") << QList<QByteArray>{tcpAnswer(hexBytes("018302"))}
                                   << QStringList{"Response message: 00 00 00 00 00 03 01 83 02 "}
                                   << QStringList{"40001||", "40002||"} << QStringList{"Receive data length= 9"};
    }
    void answers()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, memo2);
        QFETCH(QStringList, rows);
        QFETCH(QStringList, lengths);
        ScriptedServer server;
        QVERIFY(server.listen());
        // Each chunk goes out 60 ms after the one before, so that the
        // station reads it by itself.
        server.onRequest = [&](QTcpSocket *c, const QByteArray &) {
            for (int i = 0; i < chunks.size(); ++i)
                QTimer::singleShot(60 * i, c, [c, chunk = chunks[i]] { c->write(chunk); });
        };
        Rig r;
        QVERIFY(r.connectTo(server.port()));
        QCOMPARE(r.rec.statuses.last(), QString("Connect To: 127.0.0.1 OK"));
        setRequest(r.form, 2, 1, 1, 2);
        invoke(r.form, "BitBtn1Click");
        QCOMPARE(memo(r.form, "Memo1")->lines(), QStringList{"Query message: 00 00 00 00 00 06 01 03 00 00 00 02 "});
        QVERIFY(waitUntil([&] { return r.rec.statuses.size() >= 1 + lengths.size(); }, 3000));
        QTest::qWait(100);  // nothing more comes
        QCOMPARE(r.rec.statuses.mid(1), lengths);
        QCOMPARE(r.memo2(), memo2);
        StringGrid *g = grid(r.form);
        QCOMPARE((QStringList{gridRow(g, 1), gridRow(g, 2)}), rows);
        QCOMPARE(button(r.form, "BitBtn2")->isEnabled(), !memo2.isEmpty() && !memo2[0].startsWith("Length"));
        QVERIFY(r.rec.boxes.isEmpty());
    }

    void refused()
    {
        const quint16 port = freeLoopbackPort();
        Rig r;
        QVERIFY(!r.connectTo(port));
        QCOMPARE(r.rec.statuses, QStringList{"TCP connect error rtc=111"});
        QCOMPARE(r.rec.boxes, QStringList{"Quillan|TCP connect error rtc=111"});
        QVERIFY(button(r.form, "BitBtn3")->isEnabled());
        QVERIFY(!button(r.form, "BitBtn4")->isEnabled());
    }

    void closeAndPeerHangUp()
    {
        ScriptedServer server;
        QVERIFY(server.listen());
        Rig r;
        QVERIFY(r.connectTo(server.port()));
        invoke(r.form, "BitBtn4Click");
        QCOMPARE(r.rec.statuses.last(), QString("Disconnect OK "));
        QVERIFY(button(r.form, "BitBtn3")->isEnabled());
        QVERIFY(!button(r.form, "BitBtn4")->isEnabled());

        QVERIFY(r.connectTo(server.port()));
        QVERIFY(waitUntil([&] { return server.client && server.client->state() == QAbstractSocket::ConnectedState; }));
        server.client->disconnectFromHost();
        QVERIFY(waitUntil([&] { return button(r.form, "BitBtn3")->isEnabled(); }));
        QCOMPARE(r.rec.statuses.last(), QString("Disconnect OK "));
        QVERIFY(r.rec.boxes.isEmpty());
    }

    void writeRegister()
    {
        ScriptedServer server;
        QVERIFY(server.listen());
        server.onRequest = [&](QTcpSocket *c, const QByteArray &req) {
            if (req.at(7) == 3)
                c->write(tcpAnswer(hexBytes("010306000100020003")));
            else
                c->write(req);  // a write is answered by its echo
        };
        Rig r;
        QVERIFY(r.connectTo(server.port()));
        setRequest(r.form, 2, 1, 1, 3);
        invoke(r.form, "BitBtn1Click");
        QVERIFY(waitUntil([&] { return r.memo2().size() == 1; }));
        DialogSeen seen;
        answerDialog(seen, "7FFF");
        grid(r.form)->selectCell(2, 2);
        invoke(r.form, "BitBtn2Click");
        QCOMPARE(seen.title, QString("Register: 40002"));
        QCOMPARE(seen.field, QString("0002"));
        QCOMPARE(memo(r.form, "Memo1")->lines(), QStringList{"Query message: 00 00 00 00 00 06 01 06 00 01 7F FF "});
        QVERIFY(waitUntil([&] { return gridRow(grid(r.form), 2) == "40002| 32767|0x7FFF"; }));
        QCOMPARE(gridRow(grid(r.form), 3), QString("40003|     3|0x0003"));
    }

    // A device whose length field counts one byte more than it sends leaves
    // part of an answer waiting. The next request (a read, or a write from
    // the grid) drops it and says so; its own answer is decoded by itself.
    void shortAnswerThenNewRequest_data()
    {
        QTest::addColumn<bool>("write");             // the second request is a write from the grid
        QTest::addColumn<QList<QByteArray>>("answers");  // one per request, in order
        QTest::addColumn<QStringList>("memo2");      // after the last answer
        QTest::addColumn<QString>("row1");
        QTest::newRow("send command")
            << false
            << QList<QByteArray>{hexBytes("000000000008010304000A000B"),
                                 hexBytes("00000000000701030400010002")}
            << QStringList{"Answer cut short: new request sent, 13 bytes dropped",
                           "Response message: 00 00 00 00 00 07 01 03 04 00 01 00 02 "}
            << "40001|     1|0x0001";
        QTest::newRow("write from the grid")
            << true
            << QList<QByteArray>{hexBytes("00000000000701030400010002"), hexBytes("000000000007010600000005"),
                                 hexBytes("000000000006010600000006")}
            << QStringList{"Answer cut short: new request sent, 12 bytes dropped",
                           "Response message: 00 00 00 00 00 06 01 06 00 00 00 06 "}
            << "40001|     6|0x0006";
    }
    void shortAnswerThenNewRequest()
    {
        QFETCH(bool, write);
        QFETCH(QList<QByteArray>, answers);
        QFETCH(QStringList, memo2);
        QFETCH(QString, row1);
        ScriptedServer server;
        QVERIFY(server.listen());
        int served = 0;
        server.onRequest = [&](QTcpSocket *c, const QByteArray &) {
            if (served < answers.size())
                c->write(answers[served++]);
        };
        Rig r;
        QVERIFY(r.connectTo(server.port()));
        setRequest(r.form, 2, 1, 1, 2);
        invoke(r.form, "BitBtn1Click");
        DialogSeen seen;
        auto writeFromGrid = [&](const char *value) {
            answerDialog(seen, value);
            grid(r.form)->selectCell(2, 1);
            invoke(r.form, "StringGrid1DblClick");
        };
        if (write) {
            QVERIFY(waitUntil([&] { return gridRow(grid(r.form), 1) == "40001|     1|0x0001"; }));
            writeFromGrid("0005");
        }
        // The short answer is in, and waits for a byte that never comes.
        QVERIFY(waitUntil([&] { return served == answers.size() - 1 && r.rec.statuses.size() == served + 1; }));
        QTest::qWait(50);
        if (write)
            writeFromGrid("0006");
        else
            invoke(r.form, "BitBtn1Click");
        QVERIFY(!r.memo2().isEmpty());
        QCOMPARE(r.memo2().last(), memo2[0]);  // said at once, before any answer
        QVERIFY(waitUntil([&] { return r.memo2().size() >= 2; }));
        QTest::qWait(50);  // nothing more comes
        QCOMPARE(r.memo2(), memo2);
        QCOMPARE(gridRow(grid(r.form), 1), row1);
        QVERIFY(r.rec.boxes.isEmpty());
    }

    // An answer that comes after its polled request timed out is late: it is
    // dropped and counted nowhere; the grid and the time-out line stay.
    void lateAnswer()
    {
        ScriptedServer server;
        QVERIFY(server.listen());
        Rig r;
        int64_t ms = 0;
        r.form->setClock([&] { return ms; });
        QVERIFY(r.connectTo(server.port()));
        setRequest(r.form, 2, 1, 1, 2);
        child<QSpinBox>(r.form, "PollInterval")->setValue(5000);
        child<QCheckBox>(r.form, "PollBox")->setChecked(true);
        invoke(r.form, "PollTimerTimer");
        ms = 1000;
        invoke(r.form, "PollTimerTimer");  // the time-out
        QVERIFY(waitUntil([&] { return server.client != nullptr; }));
        server.client->write(tcpAnswer(hexBytes("01030400010002"), 1));
        QVERIFY(waitUntil([&] { return r.rec.statuses.last().startsWith("Receive data length"); }));
        QCOMPARE(r.memo2(),
                 (QStringList{"Time out error", "Late answer dropped: 00 01 00 00 00 07 01 03 04 00 01 00 02 "}));
        QCOMPARE(gridRow(grid(r.form), 1), QString("40001||"));
        QCOMPARE(child<QLabel>(r.form, "StatsLabel")->text(),
                 QString("Tx 1  Rx 0  Exc 0  Err 0  T/O 1  last - ms  min - ms  avg - ms  max - ms"));
    }

    // A socket error stops polling before its box shows, so that a poll due
    // under the box finds polling off rather than showing a second box.
    void socketErrorWhilePolling()
    {
        Rig r;
        auto *poll = child<QCheckBox>(r.form, "PollBox");
        QList<bool> pollingAtBox;
        r.rec.onBox = [&](const QString &) { pollingAtBox << poll->isChecked(); };
        poll->setChecked(true);
        r.form->ClientSocket1Error(QAbstractSocket::NetworkError);
        QCOMPARE(r.rec.boxes, QStringList{"Quillan|TCP connect error rtc=101"});
        QCOMPARE(pollingAtBox, QList<bool>{false});
    }

    // PollInterval and TimeoutMs take what is typed once the editing is
    // finished: on the way to 5000, "5" does not poll every 5 ms, nor does
    // "1" time exchanges out on the way to 1000.
    void pollTimesTakeFinishedValues()
    {
        Rig r;
        for (const char *name : {"PollInterval", "TimeoutMs"}) {
            auto *spin = child<QSpinBox>(r.form, name);
            QSignalSpy changes(spin, &QSpinBox::valueChanged);
            spin->selectAll();
            QTest::keyClicks(spin, "5");
            QCOMPARE(changes.count(), 0);
            QTest::keyClick(spin, Qt::Key_Return);
            QCOMPARE(spin->value(), 5);
        }
    }

    void formClose()
    {
        ScriptedServer server;
        QVERIFY(server.listen());
        Recorder rec;
        QPointer<TMSTCP_Form> form = new TMSTCP_Form;
        child<QLineEdit>(form, "MaskEdit4")->setText(QString::number(server.port()));
        invoke(form, "BitBtn3Click");
        QVERIFY(waitUntil([&] { return server.client != nullptr; }));
        QVERIFY(waitUntil([&] { return button(form, "BitBtn4")->isEnabled(); }));
        form->close();
        QCOMPARE(rec.closed, QList<int>{MasterTcp});
        QVERIFY(waitUntil([&] { return server.client->state() != QAbstractSocket::ConnectedState; }));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(form.isNull());
    }
};

QTEST_MAIN(TestMasterTcp)
#include "tst_master_tcp.moc"
