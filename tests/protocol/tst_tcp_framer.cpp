// Framing a Modbus/TCP stream by its length field, in any chunking.
#include <QtTest>

#include "Tcp_framer.h"

namespace {
std::vector<uint8_t> bytes(const char *hexText)
{
    QByteArray b = QByteArray::fromHex(hexText);
    return std::vector<uint8_t>(b.begin(), b.end());
}
}  // namespace

class TestTcpFramer : public QObject {
    Q_OBJECT
private slots:
    void anyChunking()
    {
        const auto a = bytes("000100000006010300000001");
        const auto b = bytes("00020000000B01100000000204000A0102");
        std::vector<uint8_t> stream = a;
        stream.insert(stream.end(), b.begin(), b.end());
        // Every chunk size from 1 byte to the whole stream gives the same two messages.
        for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
            TcpFramer f;
            std::vector<std::vector<uint8_t>> got;
            for (size_t i = 0; i < stream.size(); i += chunk) {
                f.append(stream.data() + i, std::min(chunk, stream.size() - i));
                std::vector<uint8_t> m;
                while (f.next(m) == TcpFramer::Status::Frame)
                    got.push_back(m);
            }
            QCOMPARE(got.size(), size_t(2));
            QVERIFY(got[0] == a);
            QVERIFY(got[1] == b);
            QCOMPARE(f.buffered(), size_t(0));
        }
    }

    void badLengths_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<uint>("length");
        QTest::newRow("0") << QByteArray::fromHex("000100000000") << 0u;
        QTest::newRow("1") << QByteArray::fromHex("000100000001") << 1u;
        QTest::newRow("255") << QByteArray::fromHex("0001000000FF") << 255u;
        QTest::newRow("0xFFFF") << QByteArray::fromHex("00010000FFFF") << 0xFFFFu;
    }
    void badLengths()
    {
        QFETCH(QByteArray, header);
        QFETCH(uint, length);
        TcpFramer f;
        f.append(reinterpret_cast<const uint8_t *>(header.constData()), header.size());
        f.append(reinterpret_cast<const uint8_t *>("\x01\x03"), 2);
        std::vector<uint8_t> m;
        unsigned bad = 12345;
        QCOMPARE(f.next(m, &bad), TcpFramer::Status::Bad);
        QCOMPARE(bad, length);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(m.data()), qsizetype(m.size())), header + "\x01\x03");
        QCOMPARE(f.buffered(), size_t(0));
        QCOMPARE(f.next(m), TcpFramer::Status::NeedMore);
    }

    void limitsFrame()
    {
        for (unsigned len : {2u, 254u}) {
            std::vector<uint8_t> msg(6 + len, 0x11);
            msg[4] = 0;
            msg[5] = uint8_t(len);
            TcpFramer f;
            f.append(msg.data(), msg.size() - 1);
            std::vector<uint8_t> m;
            QCOMPARE(f.next(m), TcpFramer::Status::NeedMore);
            f.append(msg.data() + msg.size() - 1, 1);
            QCOMPARE(f.next(m), TcpFramer::Status::Frame);
            QVERIFY(m == msg);
        }
    }
};

QTEST_APPLESS_MAIN(TestTcpFramer)
#include "tst_tcp_framer.moc"
