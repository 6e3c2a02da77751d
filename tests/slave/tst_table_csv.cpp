// The four slave tables to and from CSV: the lines refused (first bad line
// named, tables untouched), what is accepted around the data, the round trip,
// and the file bounds.
#include <QtTest>

#include <QTemporaryDir>

#include "Table_csv.h"

namespace {

bool sameTables(const SlaveTables &a, const SlaveTables &b)
{
    return std::memcmp(a.coils, b.coils, sizeof a.coils) == 0 &&
           std::memcmp(a.inputRelays, b.inputRelays, sizeof a.inputRelays) == 0 &&
           std::memcmp(a.inputRegisters, b.inputRegisters, sizeof a.inputRegisters) == 0 &&
           std::memcmp(a.holdingRegisters, b.holdingRegisters, sizeof a.holdingRegisters) == 0;
}

SlaveTables sample()
{
    SlaveTables t;
    t.WriteCoil(0, 1);
    t.WriteCoil(1023, 1);
    t.WriteInputRelay(7, 1);
    t.inputRegisters[0] = 0x8000;
    t.inputRegisters[1023] = 1;
    t.holdingRegisters[16] = 0xFFFF;
    t.holdingRegisters[17] = 1234;
    return t;
}

}  // namespace

class TestTableCsv : public QObject {
    Q_OBJECT
private slots:
    void badLines_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        QTest::newRow("register too large") << QByteArray("40001,1\n\n40002,2\n00005,1\n1,1\n2,0\n3,1\n4,0\n6,1\n7,1\n"
                                                          "8,1\n9,1\n10,1\n11,1\n12,1\n13,1\n40001,70000\n")
                                            << "line 17: 40001,70000: value out of range";
        QTest::newRow("register too small") << QByteArray("30001,-32769") << "line 1: 30001,-32769: value out of range";
        QTest::newRow("bit 2") << QByteArray("00001,2\r\n") << "line 1: 00001,2: value out of range";
        QTest::newRow("bit -1") << QByteArray("10001,-1") << "line 1: 10001,-1: value out of range";
        QTest::newRow("no comma") << QByteArray("40001 5") << "line 1: 40001 5: expected address,value";
        QTest::newRow("two commas") << QByteArray("40001,5,6") << "line 1: 40001,5,6: expected address,value";
        QTest::newRow("semicolon") << QByteArray("40001;5") << "line 1: 40001;5: expected address,value";
        QTest::newRow("gap between tables") << QByteArray("01025,1") << "line 1: 01025,1: no such address";
        QTest::newRow("address 0") << QByteArray("0,1") << "line 1: 0,1: no such address";
        QTest::newRow("beyond holding") << QByteArray("41025,1") << "line 1: 41025,1: no such address";
        QTest::newRow("huge address") << QByteArray("99999999999999999999,1") << "line 1: 99999999999999999999,1: no such address";
        QTest::newRow("negative address") << QByteArray("-40001,1") << "line 1: -40001,1: address is not a number";
        QTest::newRow("empty address") << QByteArray(",1") << "line 1: ,1: address is not a number";
        QTest::newRow("hex value") << QByteArray("40001,0x10") << "line 1: 40001,0x10: value is not a number";
        QTest::newRow("empty value") << QByteArray("40001,") << "line 1: 40001,: value is not a number";
        QTest::newRow("twice") << QByteArray("40001,1\n# note\n40001,2") << "line 3: 40001,2: address given twice (line 1)";
        QTest::newRow("header not first") << QByteArray("40001,1\naddress,value") << "line 2: address,value: address is not a number";
        QTest::newRow("binary shown safely") << QByteArray("4\x00\x01,1", 5) << "line 1: 4??,1: address is not a number";
        QTest::newRow("lone CR is no line end") << QByteArray("40001,1\r40002,2") << "line 1: 40001,1?40002,2: expected address,value";
        QTest::newRow("long line") << QByteArray("40001,1\n") + QByteArray(257, ' ') + "\n" << "line 2: longer than 256 characters";
        QTest::newRow("too large") << QByteArray(int(kTableCsvMaxBytes) + 1, '\n') << "file too large (more than 1048576 bytes)";
    }
    void badLines()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        SlaveTables t = sample();
        const std::string got = tables_from_csv(std::string_view(text.constData(), size_t(text.size())), t);
        QCOMPARE(QString::fromStdString(got), error);
        QVERIFY(sameTables(t, sample()));
    }

    // What is accepted around the data, and that a load replaces everything.
    void accepted()
    {
        SlaveTables t = sample();
        const QByteArray text = "\xEF\xBB\xBF" "Address,Value\r\n"
                                "# written by hand\r\n"
                                "\r\n"
                                "  40001 , -1 \r\n"
                                "1,1\r\n"
                                "30001,65535\r\n"
                                "11024,1";
        QCOMPARE(QString::fromStdString(tables_from_csv(text.toStdString(), t)), QString());
        SlaveTables want;
        want.holdingRegisters[0] = 0xFFFF;
        want.WriteCoil(0, 1);
        want.inputRegisters[0] = 0xFFFF;
        want.WriteInputRelay(1023, 1);
        QVERIFY(sameTables(t, want));
        QCOMPARE(QString::fromStdString(tables_from_csv("", t)), QString());
        QVERIFY(sameTables(t, SlaveTables{}));
    }

    void roundTrip()
    {
        const SlaveTables t = sample();
        const std::string text = tables_to_csv(t);
        QCOMPARE(QString::fromStdString(text), QString("00001,1\n01024,1\n10008,1\n30001,-32768\n31024,1\n"
                                                       "40017,-1\n40018,1234\n"));
        SlaveTables back;
        QCOMPARE(QString::fromStdString(tables_from_csv(text, back)), QString());
        QVERIFY(sameTables(back, t));

        // Every entry set, through a file.
        SlaveTables full;
        for (int n = 0; n < kSlaveEntries; ++n) {
            full.WriteCoil(uint16_t(n), 1);
            full.WriteInputRelay(uint16_t(n), 1);
            full.inputRegisters[n] = uint16_t(n * 64 + 1);
            full.holdingRegisters[n] = uint16_t(0xFFFF - n);
        }
        QTemporaryDir dir;
        const std::string path = dir.filePath("tables.csv").toStdString();
        QCOMPARE(QString::fromStdString(save_tables_csv_file(path, full)), QString());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
        SlaveTables loaded;
        QCOMPARE(QString::fromStdString(load_tables_csv_file(path, loaded)), QString());
        QVERIFY(sameTables(loaded, full));
    }

    void files()
    {
        QTemporaryDir dir;
        SlaveTables t = sample();
        const std::string missing = dir.filePath("missing.csv").toStdString();
        QCOMPARE(QString::fromStdString(load_tables_csv_file(missing, t)),
                 QString::fromStdString("cannot open " + missing + ": No such file or directory"));
        QCOMPARE(QString::fromStdString(load_tables_csv_file("/dev/zero", t)),
                 QString("cannot load /dev/zero: not a regular file"));
        QFile big(dir.filePath("big.csv"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(qint64(kTableCsvMaxBytes) + 1));
        big.close();
        QVERIFY(QString::fromStdString(load_tables_csv_file(big.fileName().toStdString(), t))
                    .endsWith(": file too large (more than 1048576 bytes)"));
        const std::string noDir = dir.filePath("no/such/dir.csv").toStdString();
        QVERIFY(QString::fromStdString(save_tables_csv_file(noDir, t)).startsWith("cannot write"));
        QVERIFY(sameTables(t, sample()));
    }
};

QTEST_GUILESS_MAIN(TestTableCsv)
#include "tst_table_csv.moc"
