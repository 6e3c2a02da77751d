// The slave tables' packing and bit accessors, and the grid layout and refresh
// of single cells and rows.
#include <QtTest>

#include "Slave_tables.h"
#include "Memory_grid.h"

class TestSlaveTables : public QObject {
    Q_OBJECT
private slots:
    void bitGridLayout_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QString>("firstRow");
        QTest::addColumn<QString>("lastRow");
        QTest::newRow("coils") << 1 << "Output Coil" << "00008 - 00001" << "01024 - 01017";
        QTest::newRow("input relays") << 2 << "Input Relay" << "10008 - 10001" << "11024 - 11017";
    }
    void bitGridLayout()
    {
        QFETCH(int, kind);
        QFETCH(QString, heading);
        QFETCH(QString, firstRow);
        QFETCH(QString, lastRow);
        SlaveTables t;
        MemoryGrid g(9, 0);
        g.setCell(3, 0, "stale");
        setup_bit_grid(g, kind, kind == 1 ? t.coils : t.inputRelays);
        QCOMPARE(g.rowCount(), 129);
        QCOMPARE(g.colCount(), 9);
        QCOMPARE(g.colWidth(0), 80);
        QCOMPARE(QString::fromStdString(g.cell(0, 0)), heading);
        QCOMPARE(QString::fromStdString(g.cell(1, 0)), QString("bits-7"));
        QCOMPARE(QString::fromStdString(g.cell(8, 0)), QString("bits-0"));
        QCOMPARE(QString::fromStdString(g.cell(0, 1)), firstRow);
        QCOMPARE(QString::fromStdString(g.cell(0, 128)), lastRow);
        for (int r = 1; r <= 128; ++r)
            for (int c = 1; c <= 8; ++c)
                QCOMPARE(g.cell(c, r), std::string("Off"));
    }

    void registerGridLayout_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("last");
        QTest::newRow("holding") << 3 << "Holding Register" << "40001" << "41024";
        QTest::newRow("input") << 4 << "Input Register" << "30001" << "31024";
    }
    void registerGridLayout()
    {
        QFETCH(int, kind);
        QFETCH(QString, heading);
        QFETCH(QString, first);
        QFETCH(QString, last);
        SlaveTables t;
        MemoryGrid g(3, 0);
        setup_register_grid(g, kind, kind == 3 ? t.holdingRegisters : t.inputRegisters);
        QCOMPARE(g.rowCount(), 1025);
        QCOMPARE(g.colCount(), 3);
        QCOMPARE(g.colWidth(0), 100);
        QCOMPARE(QString::fromStdString(g.cell(0, 0)), heading);
        QCOMPARE(g.cell(1, 0), std::string("Decimal"));
        QCOMPARE(g.cell(2, 0), std::string("Hex."));
        QCOMPARE(QString::fromStdString(g.cell(0, 1)), first);
        QCOMPARE(QString::fromStdString(g.cell(0, 1024)), last);
        for (int r = 1; r <= 1024; ++r) {
            QCOMPARE(g.cell(1, r), std::string("     0"));
            QCOMPARE(g.cell(2, r), std::string("0x0000"));
        }
    }

    // Where a bit lives in its table and in its grid.
    void bitPositions_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("row");
        QTest::newRow("0") << 0 << 0 << 0x01 << 8 << 1;
        QTest::newRow("7") << 7 << 0 << 0x80 << 1 << 1;
        QTest::newRow("9") << 9 << 1 << 0x02 << 7 << 2;
        QTest::newRow("1016") << 1016 << 127 << 0x01 << 8 << 128;
        QTest::newRow("1023") << 1023 << 127 << 0x80 << 1 << 128;
    }
    void bitPositions()
    {
        QFETCH(int, n);
        QFETCH(int, byte);
        QFETCH(int, mask);
        QFETCH(int, col);
        QFETCH(int, row);
        for (int kind : {1, 2}) {
            SlaveTables t;
            MemoryGrid g(9, 0);
            uint8_t *table = kind == 1 ? t.coils : t.inputRelays;
            setup_bit_grid(g, kind, table);
            if (kind == 1)
                t.WriteCoil(uint16_t(n), 1);
            else
                t.WriteInputRelay(uint16_t(n), 1);
            QCOMPARE(int(table[byte]), mask);
            show_bit_cell(g, kind, table[n / 8], uint16_t(n));
            QCOMPARE(g.cell(col, row), std::string("On"));
            int on = 0;
            for (int r = 1; r <= 128; ++r)
                for (int c = 1; c <= 8; ++c)
                    on += g.cell(c, r) == "On";
            QCOMPARE(on, 1);
            QCOMPARE(kind == 1 ? t.ReadCoil(uint16_t(n)) : t.ReadInputRelay(uint16_t(n)), uint16_t(1));
            // The other table is untouched.
            QCOMPARE(kind == 1 ? t.ReadInputRelay(uint16_t(n)) : t.ReadCoil(uint16_t(n)), uint16_t(0));
        }
    }

    void accessorsTakeLowestBit()
    {
        SlaveTables t;
        t.coils[1] = 0xFF;
        t.WriteCoil(10, 2);  // lowest bit 0
        QCOMPARE(int(t.coils[1]), 0xFB);
        t.WriteCoil(10, 0xFFFF);
        QCOMPARE(int(t.coils[1]), 0xFF);
        t.WriteCoil(1024, 1);  // beyond the table: ignored
        t.WriteInputRelay(65535, 1);
        QCOMPARE(t.ReadCoil(1024), uint16_t(0));
        for (uint8_t b : t.inputRelays)
            QCOMPARE(int(b), 0);
    }

    void registerRows_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("decimal");
        QTest::addColumn<QString>("hex");
        QTest::newRow("0") << 0 << "     0" << "0x0000";
        QTest::newRow("0x00FF") << 0xFF << "   255" << "0x00FF";
        QTest::newRow("0xFFFF") << 0xFFFF << "    -1" << "0xFFFF";
        QTest::newRow("0x8000") << 0x8000 << "-32768" << "0x8000";
        QTest::newRow("0x7FFF") << 0x7FFF << " 32767" << "0x7FFF";
    }
    void registerRows()
    {
        QFETCH(int, value);
        QFETCH(QString, decimal);
        QFETCH(QString, hex);
        MemoryGrid g(3, 1025);
        show_register_row(g, 3, uint16_t(value), 1023);
        QCOMPARE(QString::fromStdString(g.cell(1, 1024)), decimal);
        QCOMPARE(QString::fromStdString(g.cell(2, 1024)), hex);
    }
};

QTEST_GUILESS_MAIN(TestSlaveTables)
#include "tst_slave_tables.moc"
