// The Slave RTU and Slave ASCII stations on a socat pty pair under a flood of
// bytes, and with a request cut by closing the server.
#include <QThread>
#include <QtTest>
#include <atomic>
#include <memory>
#include <random>

#include "Gui_services.h"
#include "Modbus_client.h"
#include "Notices.h"
#include "Peers.h"
#include "Pty_line.h"
#include "Slave_ascii.h"
#include "Slave_rtu.h"

namespace {

// The library's port, counting the bytes the station has taken from it.
class CountingLink : public SerialLink {
public:
    qint64 taken = 0;
    int16_t recv(int32_t port) override
    {
        const int16_t b = SerialLink::recv(port);
        if (b >= 0)
            ++taken;
        return b;
    }
};

struct Station {
    std::unique_ptr<SerialSlaveForm> form;
    SlaveRtuReceiver *rtu = nullptr;
    SlaveAsciiReceiver *ascii = nullptr;

    explicit Station(bool isAscii)
    {
        if (isAscii) {
            auto *f = new TSLASC_Form;
            ascii = &f->rx;
            form.reset(f);
        } else {
            auto *f = new TSLRTU_Form;
            rtu = &f->rx;
            form.reset(f);
        }
    }
    int state() const { return rtu ? rtu->RxState : ascii->RxState; }
    int length() const { return rtu ? rtu->RxLength : ascii->RxLength; }
    // Waiting for the first byte of a request.
    bool idle() const { return state() == 10; }
};

}  // namespace

class TestRobustSlaveSerial : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<PtyPair> pair_;
    std::unique_ptr<Line> line_;
    std::unique_ptr<Station> st_;
    CountingLink link_;

    void openStation(bool ascii)
    {
        pair_ = std::make_unique<PtyPair>();
        QVERIFY(pair_->ok());
        PtyPair::mapPort(ascii ? 2 : 1, pair_->a());
        st_ = std::make_unique<Station>(ascii);
        link_.taken = 0;
        st_->form->setLink(&link_);
        st_->form->tables.holdingRegisters[0] = 0x1234;
        st_->form->BitBtn1Click();
        QVERIFY(st_->form->serverOpen());
        line_ = std::make_unique<Line>(pair_->b());
        QVERIFY(line_->ok());
    }
    // The worked example: holding register 0 read back as 0x1234.
    void validRequestAnswered(bool ascii)
    {
        const QByteArray request = ascii ? QByteArray(":010300000001FB\r\n") : QByteArray::fromHex("010300000001840A");
        const QByteArray answer = ascii ? QByteArray(":0103021234B4\r\n") : QByteArray::fromHex("0103021234B533");
        QVERIFY(line_->write(request));
        const QByteArray got = line_->readFor(int(answer.size()), 5000);
        QCOMPARE(got.toHex(' '), answer.toHex(' '));
    }

private slots:
    void cleanup()
    {
        if (st_ && st_->form->serverOpen())
            st_->form->BitBtn2Click();
        st_.reset();
        line_.reset();
        pair_.reset();
    }

    void floodThenValidRequest_data()
    {
        QTest::addColumn<bool>("ascii");
        QTest::newRow("rtu") << false;
        QTest::newRow("ascii") << true;
    }
    void floodThenValidRequest()
    {
        QFETCH(bool, ascii);
        openStation(ascii);

        std::atomic<qint64> flooded{0};
        std::atomic<qint64> answered{0};
        std::unique_ptr<QThread> flood(QThread::create([&] {
            std::mt19937 rnd(ascii ? 11 : 13);
            QByteArray chunk(256, '\0');
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 3000) {
                for (char &b : chunk)
                    b = char(rnd());
                const ssize_t n = ::write(line_->fd(), chunk.constData(), size_t(chunk.size()));
                if (n > 0)
                    flooded += n;
                else
                    QThread::msleep(1);
                answered += line_->readNow().size();  // whatever a chance frame drew
            }
        }));
        StallWatch watch;
        flood->start();
        QVERIFY(waitUntil([&] { return flood->isFinished(); }, 15000));
        flood->wait();

        // The station takes everything that was sent and returns to idle: at
        // once for RTU, after the 3 s time-out of an unfinished ASCII request.
        QVERIFY2(waitUntil([&] { return link_.taken >= flooded; }, 20000),
                 qPrintable(QString("%1 of %2 bytes taken").arg(link_.taken).arg(flooded.load())));
        QVERIFY(waitUntil([&] { return st_->idle(); }, 5000));
        answered += line_->readNow().size();
        const double stall = watch.longestMs();
        validRequestAnswered(ascii);
        qInfo("ROBUST slave-%s flood: %lld bytes in 3 s, all taken by the station, %lld bytes of chance answers, longest event-loop stall %.1f "
              "ms; the next valid request answered",
              ascii ? "ascii" : "rtu", static_cast<long long>(flooded.load()), static_cast<long long>(answered.load()),
              stall);
        QVERIFY2(stall < 3000, qPrintable(QString::number(stall)));
    }

    // An ASCII request cut by "Close Server": the characters collected stay,
    // those that come after the reopening are appended, and the request is served.
    void asciiCutByClosing()
    {
        openStation(true);
        const QByteArray request(":010600010003F5\r\n");
        QVERIFY(line_->write(request.left(11)));
        QVERIFY(waitUntil([&] { return st_->state() == 20 && st_->length() == 11; }));
        st_->form->BitBtn2Click();
        QVERIFY(line_->write(request.mid(11)));
        waitUntil([] { return false; }, 200);
        QCOMPARE(st_->form->tables.holdingRegisters[1], uint16_t(0));
        QCOMPARE(line_->readNow(), QByteArray());
        st_->form->BitBtn1Click();
        QCOMPARE(line_->readFor(int(request.size()), 5000), request);
        QCOMPARE(st_->form->tables.holdingRegisters[1], uint16_t(3));
    }

    // An ASCII request cut by "Close Server" and nothing more: given up by
    // the time-out counted from its ':' on the first tick after the
    // reopening, and the next request is served.
    void asciiCutAndAbandoned()
    {
        openStation(true);
        QVERIFY(line_->write(":0103"));
        QVERIFY(waitUntil([&] { return st_->state() == 20 && st_->length() == 5; }));
        st_->form->BitBtn2Click();
        waitUntil([] { return false; }, 3200);
        QCOMPARE(st_->state(), 20);
        st_->form->BitBtn1Click();
        QVERIFY(waitUntil([&] { return st_->idle(); }, 2000));
        const QStringList memo1 = st_->form->Memo1->lines();
        QVERIFY2(memo1.contains("Mod Slave ASC req. cmd is not finished recv. len=5"), qPrintable(memo1.join('\n')));
        QVERIFY2(memo1.contains("Time out error"), qPrintable(memo1.join('\n')));
        validRequestAnswered(true);
    }

    // An RTU request cut by "Close Server": a tick ends while the bytes are
    // still coming, the port closes, the rest arrives while it is closed, and
    // the first tick after the reopening appends it and serves the request.
    void rtuCutByClosing()
    {
        openStation(false);
        auto *f = static_cast<TSLRTU_Form *>(st_->form.get());
        f->Timer1->stop();  // the ticks are run by hand until the reopening

        QByteArray pdu = QByteArray::fromHex("0110000000F0E0");
        for (int i = 0; i < 240; ++i)
            pdu += be16(unsigned(0x100 + i));
        const QByteArray request = pdu + QByteArray::fromHex("43D4");  // its CRC
        const int firstPart = 450;  // at 2 ms a byte, longer than one tick may run

        bool cut = false;
        for (int attempt = 0; attempt < 5 && !cut; ++attempt) {
            std::atomic<bool> closed{false};
            std::unique_ptr<QThread> writer(QThread::create([&] {
                for (int i = 0; i < firstPart; ++i) {
                    line_->write(request.mid(i, 1));
                    QThread::msleep(2);
                }
                QElapsedTimer t;
                t.start();
                while (!closed && t.elapsed() < 5000)
                    QThread::msleep(1);
                line_->write(request.mid(firstPart));
            }));
            writer->start();
            QElapsedTimer t;
            t.start();
            // Idle ticks return at once; the tick that takes the first byte
            // runs until its time is up, the request still arriving.
            while (st_->state() != 20 && t.elapsed() < 2000)
                f->Timer1Timer();
            cut = st_->state() == 20 && st_->length() < firstPart;
            if (cut) {
                f->BitBtn2Click();
                f->Timer1->stop();
            }
            closed = true;
            writer->wait(10000);
            if (!cut) {
                // The writer was held up and the line fell silent: let the
                // station take the rest and start again.
                qWarning("attempt %d: request not cut (state %d, %d bytes)", attempt, st_->state(), st_->length());
                QElapsedTimer quiet;
                quiet.start();
                while (quiet.elapsed() < 200)
                    f->Timer1Timer();
                line_->readNow();
            }
        }
        QVERIFY(cut);
        waitUntil([] { return false; }, 100);
        QCOMPARE(f->tables.holdingRegisters[0], uint16_t(0x1234));
        f->BitBtn1Click();  // the timer runs again
        const QByteArray echo = QByteArray::fromHex("0110000000F0 C04D");
        QCOMPARE(line_->readFor(int(echo.size()), 5000).toHex(' '), echo.toHex(' '));
        for (int i = 0; i < 240; ++i)
            QCOMPARE(f->tables.holdingRegisters[i], uint16_t(0x100 + i));
    }
};

QTEST_MAIN(TestRobustSlaveSerial)
#include "tst_robust_slave_serial.moc"
