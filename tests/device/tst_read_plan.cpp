// The read plan: a map's entries grouped into the fewest requests the
// limits allow, and a block's answer or failure turned into the entries'
// readings.
#include <QtTest>

#include "Read_plan.h"

namespace {

// n Signed holding registers, one every `every` registers from index 0.
std::string chain(int n, int every)
{
    std::string text = "name,address\n";
    for (int i = 0; i < n; ++i)
        text += "e" + std::to_string(i) + "," + map_address_text(Map_table::HoldingRegisters, uint32_t(i * every), true) + "\n";
    return text;
}

// "device function start count (entries)" per block, joined by "; ".
QString blocks_text(const std::vector<Read_block> &blocks)
{
    QStringList parts;
    for (const Read_block &b : blocks)
        parts << QString("%1 %2 %3 %4 (%5)")
                     .arg(b.device)
                     .arg(read_function(b.table))
                     .arg(b.start)
                     .arg(b.count)
                     .arg(b.entries.size());
    return parts.join("; ");
}

}  // namespace

class TestReadPlan : public QObject {
    Q_OBJECT
private slots:
    void grouping_data()
    {
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<bool>("ascii");
        QTest::addColumn<QString>("blocks");
        auto row = [](const char *tag, const std::string &map, bool ascii, const char *blocks) {
            QTest::newRow(tag) << QByteArray::fromStdString(map) << ascii << QString(blocks);
        };
        const std::string head = "name,address,format,device\n";
        row("8 unused registers joined", head + "a,40001,Float ABCD,\nb,40011,,\n", false, "1 3 0 11 (2)");
        row("9 unused registers apart", head + "a,40001,Float ABCD,\nb,40012,,\n", false,
            "1 3 0 2 (1); 1 3 11 1 (1)");
        row("16 unused bits joined", head + "a,00001,,\nb,00018,,\n", false, "1 1 0 18 (2)");
        row("17 unused bits apart", head + "a,00001,,\nb,00019,,\n", false, "1 1 0 1 (1); 1 1 18 1 (1)");
        row("120 registers at most", chain(15, 9), false, "1 3 0 118 (14); 1 3 126 1 (1)");
        row("ASCII: 60 registers at most", chain(8, 9), true, "1 3 0 55 (7); 1 3 63 1 (1)");
        row("RTU: the same in one", chain(8, 9), false, "1 3 0 64 (8)");
        row("per device and table, in order",
            head + "h2,40001,,2\ni2,30001,,2\nh1,40002,,\nr1,10001,,\nc1,00003,,\n", false,
            "1 1 2 1 (1); 1 2 0 1 (1); 1 3 1 1 (1); 2 3 0 1 (1); 2 4 0 1 (1)");
    }
    void grouping()
    {
        QFETCH(QByteArray, map);
        QFETCH(bool, ascii);
        QFETCH(QString, blocks);
        Device_map m;
        QCOMPARE(m.read(map.toStdString(), "plan.csv"), std::string());
        QCOMPARE(blocks_text(plan_reads(m.entries(), ascii ? kAsciiPlanLimits : kPlanLimits)), blocks);
    }

    // An answer fills the block's entries; a failure marks them and keeps
    // their last values.
    void answerAndFailure()
    {
        Device_map m;
        QCOMPARE(m.read("name,address,format,scale,unit\nflow,40001,Float CDAB,,m3/h\nlevel,40004,Signed,0.1,m\n",
                        "plan.csv"),
                 std::string());
        const std::vector<Read_block> blocks = plan_reads(m.entries(), kPlanLimits);
        QCOMPARE(blocks.size(), size_t(1));
        std::vector<Entry_reading> readings(m.size());
        QCOMPARE(read_status_text(readings[0]), std::string("-"));

        const uint8_t data[] = {0x00, 0x00, 0x41, 0xC8, 0x12, 0x34, 0xFF, 0xF6};  // 25.0 CDAB, unused, -10
        const std::vector<uint16_t> values = unpack_read_answer(Map_table::HoldingRegisters, 4, data);
        QCOMPARE(values, (std::vector<uint16_t>{0x0000, 0x41C8, 0x1234, 0xFFF6}));
        QVERIFY(!take_block_answer(blocks[0], m.entries(), std::span(values).first(3), 5, readings));
        QCOMPARE(readings[0].status, Read_status::NotRead);
        begin_cycle(readings);
        QVERIFY(take_block_answer(blocks[0], m.entries(), values, 1000, readings));
        QCOMPARE(readings[0].value, 25.0);
        QCOMPARE(readings[1].value, -1.0);
        QCOMPARE(raw_text(m.entries()[0], readings[0]), std::string("0x0000 0x41C8"));
        QCOMPARE(read_status_text(readings[1]), std::string("ok"));
        QVERIFY(readings[1].fresh && readings[1].updated_ms == 1000);

        struct Failure {
            Read_status status;
            const char *text;
        };
        for (const Failure f : {Failure{.status = Read_status::Exception, .text = "exception 02"},
                                Failure{.status = Read_status::Timeout, .text = "time-out"},
                                Failure{.status = Read_status::CrcError, .text = "CRC error"}}) {
            begin_cycle(readings);
            take_block_failure(blocks[0], f.status, 2, readings);
            QCOMPARE(read_status_text(readings[0]), std::string(f.text));
            QVERIFY(!readings[0].fresh && readings[0].value == 25.0 && readings[0].updated_ms == 1000);
        }

        const uint8_t bits[] = {0x05, 0x01};
        QCOMPARE(unpack_read_answer(Map_table::Coils, 9, bits), (std::vector<uint16_t>{1, 0, 1, 0, 0, 0, 0, 0, 1}));
        QVERIFY(unpack_read_answer(Map_table::Coils, 8, bits).empty());
    }
};

QTEST_APPLESS_MAIN(TestReadPlan)
#include "tst_read_plan.moc"
