// Block-write framing (codes 15 and 16) for the three transports. The frames
// are the slave stations' worked examples and frames built by a third-party
// Modbus framer, written out as literal bytes.
#include <QtTest>

#include "Query.h"

namespace {
QByteArray hex(const QString &spaced) { return QByteArray::fromHex(spaced.toLatin1()); }
}  // namespace

class TestBlockQuery : public QObject {
    Q_OBJECT
private slots:
    void frames_data()
    {
        QTest::addColumn<bool>("coils");
        QTest::addColumn<uint>("device");
        QTest::addColumn<uint>("address");
        QTest::addColumn<QList<quint16>>("values");  // coils: 0/1 each
        QTest::addColumn<QString>("rtu");
        QTest::addColumn<QString>("tcp");
        QTest::addColumn<QString>("ascii");
        QTest::newRow("2 registers from 1") << false << 1u << 1u << QList<quint16>{0x000A, 0x0102}
                                            << "01 10 00 00 00 02 04 00 0A 01 02 53 FC"
                                            << "00 00 00 00 00 0B 01 10 00 00 00 02 04 00 0A 01 02"
                                            << ":01100000000204000A0102DC\r\n";
        QTest::newRow("1 register at 9999") << false << 247u << 9999u << QList<quint16>{0x1234}
                                            << "F7 10 27 0E 00 01 02 12 34 D2 AF"
                                            << "00 00 00 00 00 09 F7 10 27 0E 00 01 02 12 34"
                                            << ":F710270E00010212347B\r\n";
        QTest::newRow("10 coils from 20") << true << 1u << 20u << QList<quint16>{1, 0, 1, 1, 0, 0, 1, 1, 1, 0}
                                          << "01 0F 00 13 00 0A 02 CD 01 72 CB"
                                          << "00 00 00 00 00 09 01 0F 00 13 00 0A 02 CD 01"
                                          << ":010F0013000A02CD0103\r\n";
        QTest::newRow("1 coil on, any non-zero") << true << 17u << 1u << QList<quint16>{0xFF}
                                                 << "11 0F 00 00 00 01 01 01 EE 5B"
                                                 << "00 00 00 00 00 08 11 0F 00 00 00 01 01 01"
                                                 << ":110F000000010101DD\r\n";
    }
    void frames()
    {
        QFETCH(bool, coils);
        QFETCH(uint, device);
        QFETCH(uint, address);
        QFETCH(QList<quint16>, values);
        QFETCH(QString, rtu);
        QFETCH(QString, tcp);
        QFETCH(QString, ascii);
        std::vector<uint8_t> bits(values.begin(), values.end());
        std::vector<uint16_t> words(values.begin(), values.end());
        const auto n = uint16_t(values.size());

        uint8_t r[512] = {}, t[512] = {};
        char a[512] = {};
        int32_t rl = -7, tl = -7, al = -7;
        if (coils) {
            QCOMPARE(prepare_rtu_write_coils(uint8_t(device), uint16_t(address), n, bits.data(), &rl, r), 0);
            QCOMPARE(prepare_tcp_write_coils(uint8_t(device), uint16_t(address), n, bits.data(), &tl, t), 0);
            QCOMPARE(prepare_ascii_write_coils(uint16_t(device), uint16_t(address), n, bits.data(), &al, a), 0);
        } else {
            QCOMPARE(prepare_rtu_write_registers(uint8_t(device), uint16_t(address), n, words.data(), &rl, r), 0);
            QCOMPARE(prepare_tcp_write_registers(uint8_t(device), uint16_t(address), n, words.data(), &tl, t), 0);
            QCOMPARE(prepare_ascii_write_registers(uint16_t(device), uint16_t(address), n, words.data(), &al, a), 0);
        }
        QCOMPARE(QByteArray(reinterpret_cast<char *>(r), rl), hex(rtu));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(t), tl), hex(tcp));
        QCOMPARE(QByteArray(a, al), ascii.toLatin1());
    }

    // The largest requests fit the 512-byte buffer; one more is refused and
    // leaves the length alone.
    void limits()
    {
        std::vector<uint8_t> bits(1969, 1);
        std::vector<uint16_t> words(124, 0xABCD);
        uint8_t b[512] = {};
        char a[512] = {};
        int32_t len = -7;
        QCOMPARE(prepare_rtu_write_coils(1, 1, 1968, bits.data(), &len, b), 0);
        QCOMPARE(len, 255);
        QCOMPARE(int(b[6]), 246);
        QCOMPARE(prepare_ascii_write_registers(1, 1, 123, words.data(), &len, a), 0);
        QCOMPARE(len, 511);
        QCOMPARE(QByteArray(a + 1, 14), QByteArray("01100000007BF6"));
        QCOMPARE(QByteArray(a + 509, 2), QByteArray("\r\n"));
        QCOMPARE(prepare_tcp_write_registers(1, 1, 123, words.data(), &len, b), 0);
        QCOMPARE(len, 259);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(b) + 4, 2), hex("00 FD"));

        len = -7;
        QCOMPARE(prepare_rtu_write_coils(1, 1, 1969, bits.data(), &len, b), -1);
        QCOMPARE(prepare_tcp_write_coils(1, 1, 0, bits.data(), &len, b), -1);
        QCOMPARE(prepare_rtu_write_registers(1, 1, 124, words.data(), &len, b), -1);
        QCOMPARE(prepare_ascii_write_registers(1, 1, 0, words.data(), &len, a), -1);
        QCOMPARE(prepare_ascii_write_coils(256, 1, 1, bits.data(), &len, a), -1);
        QCOMPARE(len, -7);
    }
};

QTEST_MAIN(TestBlockQuery)
#include "tst_block_query.moc"
