// The master stations against devices that misbehave: a Modbus/TCP server
// that hangs up in the middle of an answer, answers garbage or a huge length
// field; serial devices that stream bytes without a pause. The station must
// not crash, must say what happened in Memo2 and must work normally after.
#include <QComboBox>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <memory>

#include "Master_ascii.h"
#include "Master_rtu.h"
#include "Master_tcp.h"
#include "Modbus_client.h"
#include "Peers.h"
#include "Pty_line.h"
#include "master/Station_rig.h"

namespace {

// One holding register, 40001 = 42, as every good device answers it.
const QByteArray kPdu = QByteArray::fromHex("010302002A");
const QString kRow = "40001|    42|0x002A";

// A Modbus/TCP device that answers each request as the test says.
class Device : public QObject {
public:
    std::function<void(QTcpSocket *, const QByteArray &)> onRequest;

    bool listen()
    {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *c = server_.nextPendingConnection()) {
                connect(c, &QTcpSocket::readyRead, this, [this, c] {
                    const QByteArray request = c->readAll();
                    if (onRequest)
                        onRequest(c, request);
                });
                connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
            }
        });
        return server_.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return server_.serverPort(); }

private:
    QTcpServer server_;
};

// The good answer to a request: its transaction identifier, 40001 = 42.
QByteArray goodAnswer(const QByteArray &request) { return mbap(quint16(uchar(request[0]) << 8 | uchar(request[1])), 1, kPdu.mid(1)).left(6) + kPdu; }

QStringList memo2(QObject *form) { return memo(form, "Memo2")->lines(); }

bool containsStart(const QStringList &lines, const QString &start)
{
    return std::any_of(lines.begin(), lines.end(), [&](const QString &l) { return l.startsWith(start); });
}

}  // namespace

class TestRobustMaster : public QObject {
    Q_OBJECT
private:
    bool connectTcp(TMSTCP_Form *f, Recorder &rec, quint16 port)
    {
        child<QLineEdit>(f, "Edit1")->setText("127.0.0.1");
        child<QLineEdit>(f, "MaskEdit4")->setText(QString::number(port));
        invoke(f, "BitBtn3Click");
        waitUntil([&] { return button(f, "BitBtn4")->isEnabled() || !rec.boxes.isEmpty(); });
        return button(f, "BitBtn4")->isEnabled();
    }

private slots:
    void tcpDeviceMisbehaves_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("line");     // what Memo2 says about it
        QTest::addColumn<bool>("hangsUp");     // the device closes the connection
        QTest::newRow("closes mid-answer") << 0 << "Answer cut short: connection closed, 5 bytes dropped" << true;
        QTest::newRow("answers garbage")
            << 1 << "Length field error: 8297, 59 bytes dropped" << false;
        QTest::newRow("huge length field") << 2 << "Length field error: 65535, 11 bytes dropped" << false;
        QTest::newRow("huge length, then hangs up") << 3 << "Length field error: 65535, 11 bytes dropped" << true;
    }
    void tcpDeviceMisbehaves()
    {
        QFETCH(int, fault);
        QFETCH(QString, line);
        QFETCH(bool, hangsUp);
        Recorder rec;
        Device device;
        QVERIFY(device.listen());
        bool misbehave = true;
        device.onRequest = [&](QTcpSocket *c, const QByteArray &request) {
            if (!misbehave) {
                c->write(goodAnswer(request));
                return;
            }
            misbehave = false;
            switch (fault) {
            case 0:
                c->write(goodAnswer(request).left(5));
                c->flush();
                c->disconnectFromHost();
                break;
            case 1:
                c->write("this is not a Modbus answer, nor anything like one at all!!");
                break;
            default:
                c->write(QByteArray::fromHex("00000000FFFF") + kPdu);
                if (fault == 3) {
                    c->flush();
                    c->disconnectFromHost();
                }
                break;
            }
        };
        std::unique_ptr<TMSTCP_Form> f(new TMSTCP_Form);
        QVERIFY(connectTcp(f.get(), rec, device.port()));
        setRequest(f.get(), 2, 1, 1, 1);
        invoke(f.get(), "BitBtn1Click");
        QVERIFY2(waitUntil([&] { return containsStart(memo2(f.get()), line); }, 5000),
                 qPrintable(memo2(f.get()).join('\n')));
        if (hangsUp)
            QVERIFY(waitUntil([&] { return button(f.get(), "BitBtn3")->isEnabled(); }));
        QCOMPARE(gridRow(grid(f.get()), 1), QString("40001||"));
        QVERIFY2(rec.boxes.isEmpty(), qPrintable(rec.boxes.join('\n')));

        // Usable afterwards: connected again if need be, the next answer decoded.
        if (hangsUp)
            QVERIFY(connectTcp(f.get(), rec, device.port()));
        invoke(f.get(), "BitBtn1Click");
        QVERIFY(waitUntil([&] { return gridRow(grid(f.get()), 1) == kRow; }, 5000));
        QVERIFY(containsStart(memo2(f.get()), "Response message: "));
        QVERIFY(button(f.get(), "BitBtn2")->isEnabled());
    }

    // A device that streams bytes without ever pausing for 100 ms: the
    // answer overflows the receive buffer, which the station says, and the
    // exchange ends there while the stream goes on. Once the stream stops
    // the station works normally.
    void serialDeviceStreams_data()
    {
        QTest::addColumn<bool>("ascii");
        QTest::newRow("rtu") << false;
        QTest::newRow("ascii") << true;
    }
    void serialDeviceStreams()
    {
        QFETCH(bool, ascii);
        Recorder rec;
        PtyPair pair;
        QVERIFY(pair.ok());
        PtyPair::mapPort(ascii ? 2 : 1, pair.a());
        std::unique_ptr<QWidget> form(ascii ? static_cast<QWidget *>(new TMSASC_Form) : new TMSRTU_Form);
        QWidget *f = form.get();
        invoke(f, "BitBtn4Click");
        QVERIFY(button(f, "BitBtn5")->isEnabled());
        Line device(pair.b());
        QVERIFY(device.ok());
        auto *timer = child<QTimer>(f, "Timer1");

        std::atomic<bool> stop{false};
        std::atomic<qint64> streamed{0};
        std::unique_ptr<QThread> stream(QThread::create([&] {
            // A second's worth of bytes at once, then two bytes every 15 ms,
            // a little faster than the station takes them: bytes are always
            // waiting, so the station never sees a pause, even when this
            // thread is held up for a while on a busy machine.
            static const char hex[] = "0123456789ABCDEF";
            auto next = [&](quint32 i) { return ascii ? hex[i % 16] : char(i * 7 + i / 256); };
            QByteArray burst(ascii ? ":" : "");
            quint32 i = 0;
            while (burst.size() < 120)
                burst += next(i++);
            if (device.write(burst))
                streamed += burst.size();
            QElapsedTimer t;
            t.start();
            while (!stop && t.elapsed() < 15000) {
                QByteArray two;
                two.append(next(i)).append(next(i + 1));
                i += 2;
                if (device.write(two))
                    streamed += 2;
                QThread::msleep(15);
            }
        }));
        setRequest(f, 2, 1, 1, 1);
        StallWatch watch;
        invoke(f, "BitBtn1Click");
        stream->start();
        const QString overflow = ascii ? "Receive buffer overflow: line longer than 512 characters dropped"
                                       : "Receive buffer overflow: answer longer than 512 bytes dropped";
        const bool said = waitUntil([&] { return memo2(f).contains(overflow); }, 14000);
        // The exchange is over at once, though the stream goes on.
        const bool ended = said && !timer->isActive();
        QTest::qWait(300);
        const bool stayedOver = !timer->isActive() && memo2(f).count(overflow) == 1;
        const bool streaming = !stream->isFinished();
        stop = true;
        QVERIFY(waitUntil([&] { return stream->isFinished(); }));
        stream->wait();
        QVERIFY2(said, qPrintable(memo2(f).join('\n')));
        QVERIFY(ended);
        QVERIFY2(stayedOver, qPrintable(memo2(f).join('\n')));
        QVERIFY(streaming);
        QVERIFY2(rec.boxes.isEmpty(), qPrintable(rec.boxes.join('\n')));
        const double stall = watch.longestMs();

        // Usable afterwards. The port is not purged before a request, so what
        // the stream left queued comes first: an RTU answer may be glued to
        // it once (a CRC error); the next one is decoded.
        const int requestSize = ascii ? 17 : 8;
        for (int attempt = 0; attempt < 4 && gridRow(grid(f), 1) != kRow; ++attempt) {
            device.readNow();
            invoke(f, "BitBtn1Click");
            const QByteArray request = device.readFor(requestSize, 3000);
            QCOMPARE(request.size(), requestSize);
            QVERIFY(device.write(ascii ? QByteArray(":010302002AD0\r\n") : hexBytes("010302002A399B")));
            QVERIFY(waitUntil([&] { return !timer->isActive(); }, 15000));
        }
        QCOMPARE(gridRow(grid(f), 1), kRow);
        QVERIFY(rec.boxes.isEmpty());
        qInfo("ROBUST master-%s stream: %lld bytes without a pause, overflow reported, exchange ended while "
              "streaming, longest event-loop stall %.1f ms; the next answer decoded",
              ascii ? "ascii" : "rtu", static_cast<long long>(streamed.load()), stall);
        invoke(f, "BitBtn5Click");
    }
};

QTEST_MAIN(TestRobustMaster)
#include "tst_robust_master.moc"
