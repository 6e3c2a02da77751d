// Tables of up to 65 536 entries: pages made only by non-zero writes, and
// their CSV files with six-digit addresses, read into tables of a size (with
// the hint that makes room) and into the stations' fixed 1 024 entries.
#include <QtTest>

#include "Paged_tables.h"
#include "Table_csv.h"

class TestPagedTables : public QObject {
    Q_OBJECT
private slots:
    void pagesGrowWithUse()
    {
        PagedTables t(65536);
        QCOMPARE(t.entries(), 65536u);
        QCOMPARE(t.reg(KindHoldingRegister, 65535), uint16_t(0));
        t.setReg(KindHoldingRegister, 40000, 0);  // reads 0 already
        t.setBit(KindCoil, 7, 0);
        QCOMPARE(t.pages(), size_t(0));
        t.setReg(KindHoldingRegister, 65535, 7);
        t.setReg(KindHoldingRegister, 64512, 8);  // the same page
        t.setBit(KindInputRelay, 1025, 1);
        t.setReg(KindInputRegister, 65536, 9);    // beyond: ignored
        QCOMPARE(t.pages(), size_t(2));
        QCOMPARE(int(t.reg(KindHoldingRegister, 65535)), 7);
        QCOMPARE(int(t.reg(KindInputRegister, 65535)), 0);
        QCOMPARE(int(t.bit(KindInputRelay, 1025)), 1);
        QCOMPARE(int(t.bit(KindCoil, 1025)), 0);
        const PagedTables copy = t;
        t.setReg(KindHoldingRegister, 65535, 1);
        QCOMPARE(int(copy.reg(KindHoldingRegister, 65535)), 7);
        QCOMPARE(PagedTables(100).entries(), 1024u);
    }

    // A request's registers in one call read and write what one call per
    // register does: across pages, past the end of the tables, and with
    // zeros that make no page.
    void wholeRequests_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("value");  // the first written; each next one more
        QTest::newRow("across a page") << 4096 << 1020 << 10 << 0x1234;
        QTest::newRow("past the end") << 10000 << 9995 << 10 << 0xFF01;
        QTest::newRow("zeros, no page") << 2048 << 1500 << 3 << 0;
        QTest::newRow("page of zeros, then values") << 2048 << 1020 << 8 << -3;
    }
    void wholeRequests()
    {
        QFETCH(int, size);
        QFETCH(int, start);
        QFETCH(int, count);
        QFETCH(int, value);
        PagedTables bulk{uint32_t(size)}, single{uint32_t(size)};
        std::vector<uint8_t> data;
        for (int j = 0; j < count; ++j) {
            const uint16_t v = uint16_t(std::max(0, value + j));
            data.push_back(uint8_t(v >> 8));
            data.push_back(uint8_t(v & 0xFF));
            single.setReg(KindHoldingRegister, uint32_t(start + j), v);
        }
        bulk.writeRegs(KindHoldingRegister, uint32_t(start), uint32_t(count), data.data());
        QCOMPARE(bulk.pages(), single.pages());
        std::vector<uint8_t> got(2 * size_t(count) + 6, 0xEE);
        bulk.readRegs(KindHoldingRegister, uint32_t(start - 2), uint32_t(count + 2), got.data());
        for (int j = 0; j < count + 2; ++j) {
            const uint16_t v = single.reg(KindHoldingRegister, uint32_t(start - 2 + j));
            QCOMPARE(int(got[2 * size_t(j)] << 8 | got[2 * size_t(j) + 1]), int(v));
        }
        QCOMPARE(int(got[2 * size_t(count) + 4]), 0xEE);  // nothing beyond the count
    }

    // size 0: the stations' fixed tables.
    void read_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("result");  // the error, or "OK" and the text saved back
        QTest::newRow("six digits") << 65536 << QByteArray("465536,-2\n000001,1\n100005,1\n310000,3\n")
                                    << "OK 00001,1\n10005,1\n310000,3\n465536,-2\n";
        QTest::newRow("five digits keep their meaning") << 2048 << QByteArray("41025,5\n09999,1\n") << "line 2: 09999,1: "
                                                           "beyond the tables' 2048 entries; --size 9999 or more makes room for it";
        QTest::newRow("five digits in size") << 2048 << QByteArray("41025,5\n") << "OK 41025,5\n";
        QTest::newRow("beyond, with the hint") << 1024 << QByteArray("401100,5\n")
                                               << "line 1: 401100,5: beyond the tables' 1024 entries; --size 1100 or "
                                                  "more makes room for it";
        QTest::newRow("no such six-digit table") << 65536 << QByteArray("200001,1\n")
                                                 << "line 1: 200001,1: no such address";
        QTest::newRow("same entry in both forms") << 65536 << QByteArray("40001,1\n400001,2\n")
                                                  << "line 2: 400001,2: address given twice (line 1)";
        QTest::newRow("station: six digits") << 0 << QByteArray("401024,9\n") << "OK 41024,9\n";
        QTest::newRow("station: beyond") << 0 << QByteArray("40001,1\n401025,9\n")
                                         << "line 2: 401025,9: beyond the tables' 1024 entries";
    }
    void read()
    {
        QFETCH(int, size);
        QFETCH(QByteArray, text);
        QFETCH(QString, result);
        std::string problem, saved;
        if (size == 0) {
            SlaveTables t;
            problem = tables_from_csv(text.toStdString(), t);
            saved = tables_to_csv(t);
        } else {
            PagedTables t{uint32_t(size)};
            t.setReg(KindHoldingRegister, 3, 1);  // gone after a load, kept after a refusal
            problem = tables_from_csv(text.toStdString(), t, "--size");
            saved = tables_to_csv(t);
            QCOMPARE(t.reg(KindHoldingRegister, 3) == 1, !problem.empty());
        }
        QCOMPARE(QString::fromStdString(problem.empty() ? "OK " + saved : problem), result);
    }
};

QTEST_GUILESS_MAIN(TestPagedTables)
#include "tst_paged_tables.moc"
