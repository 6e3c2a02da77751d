// The master data grid: layout for a request and decoding of answers from the
// three transports into it.
#include <QtTest>
#include <vector>

#include "Master_grid.h"
#include "Memory_grid.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An answer as the serial transports carry it, written out whole so that
// nothing here leans on the checksum code: RTU in hexadecimal with its CRC,
// ASCII from ":" to the LRC (CR LF follow). The Modbus/TCP answer is the RTU
// one without its CRC behind the header.
struct Answer {
    const char *rtu;
    const char *ascii;
};

// Decodes through one transport; every buffer is exactly as long as the frame
// so that a sanitizer build catches any read beyond it.
void show(int transport, TextGrid &grid, const Answer &answer, uint16_t count, int row = 0, int col = 0,
          uint16_t value = 0)
{
    const QByteArray rtu = QByteArray::fromHex(answer.rtu);
    if (transport == 0) {
        Bytes f(rtu.begin(), rtu.end());
        show_rtu_response(grid, f.data(), int32_t(f.size()), count, row, col, value);
    } else if (transport == 1) {
        const std::string s = std::string(answer.ascii) + "\r\n";
        std::vector<char> f(s.begin(), s.end());
        show_ascii_response(grid, f.data(), int32_t(f.size()), count, row, col, value);
    } else {
        Bytes f = {0x12, 0x34, 0, 0, 0, uint8_t(rtu.size() - 2)};
        f.insert(f.end(), rtu.begin(), rtu.end() - 2);
        show_tcp_response(grid, f.data(), int32_t(f.size()), count, row, col, value);
    }
}

// Row r as "c0|c1|...".
QString rowText(const TextGrid &g, int r)
{
    QStringList cells;
    for (int c = 0; c < g.colCount(); ++c)
        cells << QString::fromStdString(g.cell(c, r));
    return cells.join('|');
}

QStringList allRows(const TextGrid &g)
{
    QStringList rows;
    for (int r = 0; r < g.rowCount(); ++r)
        rows << rowText(g, r);
    return rows;
}

}  // namespace

class TestMasterGrid : public QObject {
    Q_OBJECT
private slots:
    void layout_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("rows");
        const QString bitHead = "address|bits-7|bits-6|bits-5|bits-4|bits-3|bits-2|bits-1|bits-0";
        QTest::newRow("coils 1..10: partial last row")
            << 0 << 1 << 10 << QStringList{bitHead, "00008 - 00001||||||||", "00010 - 00009||||||||"};
        QTest::newRow("relays 100..107") << 1 << 100 << 8 << QStringList{bitHead, "10107 - 10100||||||||"};
        QTest::newRow("one relay") << 1 << 1 << 1 << QStringList{bitHead, "10001 - 10001||||||||"};
        QTest::newRow("coils 9999, 16") << 0 << 9999 << 16
                                        << QStringList{bitHead, "10006 - 09999||||||||", "10014 - 10007||||||||"};
        QTest::newRow("holding 1..2") << 2 << 1 << 2 << QStringList{"address|Decimal|Hex.", "40001||", "40002||"};
        QTest::newRow("input 5") << 3 << 5 << 1 << QStringList{"address|Decimal|Hex.", "30005||"};
    }
    void layout()
    {
        QFETCH(int, kind);
        QFETCH(int, start);
        QFETCH(int, count);
        QFETCH(QStringList, rows);
        // Start from a grid that holds the values of an earlier, larger read.
        MemoryGrid g;
        layout_master_grid(g, 2, 1, 20);
        for (int r = 1; r <= 20; ++r)
            g.setCell(1, r, "stale");
        layout_master_grid(g, uint16_t(kind), uint16_t(start), uint16_t(count));
        QCOMPARE(allRows(g), rows);
        QCOMPARE(g.colWidth(0), 100);
    }

    // The same answers decoded through each transport give the same grid.
    void answers_data()
    {
        QTest::addColumn<int>("transport");
        for (int t = 0; t < 3; ++t)
            QTest::addRow("%s", t == 0 ? "rtu" : t == 1 ? "ascii" : "tcp") << t;
    }
    void answers()
    {
        QFETCH(int, transport);
        struct Case {
            const char *name;
            int kind, count;
            Answer answer;
            QStringList rows;  // rows 1.. without column 0
        };
        const std::vector<Case> cases = {
            {"coil byte 0x05 for 8", 0, 8, {"01010105918B", ":01010105F8"}, {"Off|Off|Off|Off|Off|On|Off|On"}},
            {"coils 10, partial row", 0, 10, {"010102FF0279CD", ":010102FF02FB"},
             {"On|On|On|On|On|On|On|On", "||||||On|Off"}},
            {"relays 3", 1, 3, {"01020106218A", ":01020106F6"}, {"|||||On|On|Off"}},
            {"holding 10 and -1", 2, 2, {"010304000AFFFFDB81", ":010304000AFFFFF0"}, {"    10|0x000A", "    -1|0xFFFF"}},
            {"input 0x8000", 3, 1, {"0104028000D8F0", ":010402800079"}, {"-32768|0x8000"}},
            {"short answer reads zeros", 2, 3, {"010302002A399B", ":010302002AD0"}, {"    42|0x002A", "     0|0x0000", "     0|0x0000"}},
            {"short coil answer reads Off", 0, 9, {"010101019048", ":01010101FC"}, {"Off|Off|Off|Off|Off|Off|Off|On", "|||||||Off"}},
            {"exception leaves grid empty", 2, 2, {"018302C0F1", ":0183027A"}, {"|", "|"}},
            {"unknown code leaves grid empty", 0, 8, {"010701FFF1C9", ":010701FFF8"}, {"|||||||"}},
        };
        for (const Case &c : cases) {
            MemoryGrid g;
            layout_master_grid(g, uint16_t(c.kind), 1, uint16_t(c.count));
            show(transport, g, c.answer, uint16_t(c.count));
            QStringList got;
            for (int r = 1; r < g.rowCount(); ++r)
                got << rowText(g, r).section('|', 1);
            QVERIFY2(got == c.rows, qPrintable(QString(c.name) + ": " + got.join(" / ")));
        }
    }

    // A write answer changes only the written cell or row.
    void writes_data()
    {
        QTest::addColumn<int>("transport");
        for (int t = 0; t < 3; ++t)
            QTest::addRow("%s", t == 0 ? "rtu" : t == 1 ? "ascii" : "tcp") << t;
    }
    void writes()
    {
        QFETCH(int, transport);
        MemoryGrid regs;
        layout_master_grid(regs, 2, 1, 3);
        show(transport, regs, {"010306000100020003FD74", ":010306000100020003F0"}, 3);
        show(transport, regs, {"010600018000B9CA", ":01060001800078"}, 3, 2, 2, 0x8000);
        QCOMPARE(allRows(regs).mid(1),
                 (QStringList{"40001|     1|0x0001", "40002|-32768|0x8000", "40003|     3|0x0003"}));

        MemoryGrid coils;
        layout_master_grid(coils, 0, 1, 10);
        show(transport, coils, {"0101020000B9FC", ":0101020000FC"}, 10);
        show(transport, coils, {"01050009FF005C38", ":01050009FF00F2"}, 10, 2, 7, 1);
        QCOMPARE(rowText(coils, 1), QString("00008 - 00001|Off|Off|Off|Off|Off|Off|Off|Off"));
        QCOMPARE(rowText(coils, 2), QString("00010 - 00009|||||||On|Off"));
        // A write to a cell outside the grid changes nothing.
        show(transport, coils, {"01050009FF005C38", ":01050009FF00F2"}, 10, 40, 7, 1);
        show(transport, coils, {"01060009123454BF", ":010600091234AA"}, 10, -1, -1, 0x1234);
        QCOMPARE(rowText(coils, 2), QString("00010 - 00009|||||||On|Off"));
    }

    // Whatever arrives, decoders stay inside the grid and the work buffer.
    void hostile_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("rtu");
        QTest::addColumn<QByteArray>("ascii");
        QTest::addColumn<int>("filledRows");
        QTest::newRow("code 1 on a register grid") << 2 << 4 << QByteArray("010101FF11C8") << QByteArray(":010101FFFE")
                                                   << 4;
        QTest::newRow("code 3 on a coil grid") << 0 << 16 << QByteArray("010304000100022A32")
                                               << QByteArray(":01030400010002F5") << 2;
        QTest::newRow("code 3, count beyond the grid") << 2 << 2 << QByteArray("010304000100022A32")
                                                       << QByteArray(":01030400010002F5") << 2;
        QTest::newRow("code 5 on a register grid") << 2 << 2 << QByteArray("01050000FF008C3A")
                                                   << QByteArray(":01050000FF00FB") << 0;
        QTest::newRow("empty answer") << 2 << 2 << QByteArray("FFFF") << QByteArray(":00") << 0;
    }
    void hostile()
    {
        QFETCH(int, kind);
        QFETCH(int, count);
        QFETCH(QByteArray, rtu);
        QFETCH(QByteArray, ascii);
        QFETCH(int, filledRows);
        for (int t = 0; t < 3; ++t) {
            MemoryGrid g;
            layout_master_grid(g, uint16_t(kind), 1, uint16_t(count));
            const int rows = g.rowCount(), cols = g.colCount();
            // The request's count may be far larger than the grid the answer lands in.
            show(t, g, {rtu.constData(), ascii.constData()}, 65535, 1, 8, 1);
            QCOMPARE(g.rowCount(), rows);
            QCOMPARE(g.colCount(), cols);
            int filled = 0;
            for (int r = 1; r < rows; ++r)
                filled += !QString::fromStdString(g.cell(1, r)).isEmpty() ||
                          !QString::fromStdString(g.cell(cols - 1, r)).isEmpty();
            QCOMPARE(filled, filledRows);
        }
    }

    void lengths_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("lastHex");  // hexadecimal cell of the last row afterwards
        QTest::newRow("negative") << -7 << "";
        QTest::newRow("minimum") << int(INT32_MIN) << "";
        QTest::newRow("zero") << 0 << "";
        QTest::newRow("one") << 1 << "";
        QTest::newRow("ends in the data") << 9 << "0x0000";
        QTest::newRow("beyond the work buffer") << 4000 << "0x1111";
        QTest::newRow("maximum") << int(INT32_MAX) << "0x1111";
    }
    void lengths()
    {
        QFETCH(int, length);
        QFETCH(QString, lastHex);
        // Buffers larger than anything the decoders may take: 512 bytes after
        // the dropped header, 512 pairs of characters.
        std::vector<uint8_t> frame(1100, 0x11);
        frame[1] = 3;  // RTU: code 3
        frame[7] = 3;  // TCP: code 3
        std::vector<char> text(1100, '1');
        text[0] = ':';
        text[3] = '0';  // code 03
        text[4] = '3';
        for (int t = 0; t < 3; ++t) {
            MemoryGrid g;
            layout_master_grid(g, 2, 1, 120);
            if (t == 0)
                show_rtu_response(g, frame.data(), length, 120, 1, 1, 0);
            else if (t == 1)
                show_ascii_response(g, text.data(), length, 120, 1, 1, 0);
            else
                show_tcp_response(g, frame.data(), length, 120, 1, 1, 0);
            QCOMPARE(g.rowCount(), 121);
            QCOMPARE(g.colCount(), 3);
            QCOMPARE(QString::fromStdString(g.cell(2, 120)), lastHex);
        }
    }

    // 512 bytes of RTU data with a count that asks for more: the decoder takes
    // the registers that fit in the work buffer and no more.
    void fullWorkBuffer()
    {
        std::vector<uint8_t> frame(514, 0x01);
        frame[1] = 3;
        MemoryGrid g;
        layout_master_grid(g, 2, 1, 300);
        show_rtu_response(g, frame.data(), int32_t(frame.size()), 300, 0, 0, 0);
        QCOMPARE(QString::fromStdString(g.cell(2, 254)), QString("0x0101"));
        QCOMPARE(QString::fromStdString(g.cell(2, 255)), QString());
    }

    // A pair that is not hexadecimal gives the byte 0 and the rest is decoded.
    void asciiBadPair_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("bad data pair") << QByteArray(":010304zz0A002A00\r\n")
                                       << QStringList{"    10|0x000A", "    42|0x002A"};
        QTest::newRow("bad code pair") << QByteArray(":01G304000A002A00\r\n") << QStringList{"|", "|"};
        QTest::newRow("lower case") << QByteArray(":010304ff0a002a00\r\n")
                                    << QStringList{"  -246|0xFF0A", "    42|0x002A"};
        QTest::newRow("too short for an LRC") << QByteArray(":01\r\n") << QStringList{"|", "|"};
    }
    void asciiBadPair()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QStringList, rows);
        MemoryGrid g;
        layout_master_grid(g, 2, 1, 2);
        std::vector<char> buf(frame.begin(), frame.end());
        show_ascii_response(g, buf.data(), int32_t(buf.size()), 2, 0, 0, 0);
        QStringList got;
        for (int r = 1; r < g.rowCount(); ++r)
            got << rowText(g, r).section('|', 1);
        QCOMPARE(got, rows);
    }
};

QTEST_APPLESS_MAIN(TestMasterGrid)
#include "tst_master_grid.moc"
