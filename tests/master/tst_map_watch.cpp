// A watched map's block answers: which answers a block takes as its values,
// which as the device's exception, and which it refuses as not its own.
#include <QtTest>

#include "Map_watch.h"

class TestMapWatch : public QObject {
    Q_OBJECT
private slots:
    void answers_data()
    {
        // The map reads holding registers 40001-40002 of device 3 as one block.
        QTest::addColumn<QByteArray>("answer");  // device, code, what follows
        QTest::addColumn<QString>("status");     // of both entries afterwards
        QTest::addColumn<QString>("value");      // of the first entry
        QTest::newRow("values") << QByteArray::fromHex("0303040001FFFF") << "ok" << "1";
        QTest::newRow("exception") << QByteArray::fromHex("038302") << "exception 02" << "";
        QTest::newRow("another device") << QByteArray::fromHex("0403040001FFFF") << "CRC error" << "";
        QTest::newRow("another code") << QByteArray::fromHex("0304040001FFFF") << "CRC error" << "";
        QTest::newRow("another device's exception") << QByteArray::fromHex("048302") << "CRC error" << "";
        QTest::newRow("byte count short of the block") << QByteArray::fromHex("03030200010000") << "CRC error" << "";
        QTest::newRow("bytes short of the byte count") << QByteArray::fromHex("0303040001") << "CRC error" << "";
        QTest::newRow("nothing after the code") << QByteArray::fromHex("0303") << "CRC error" << "";
    }
    void answers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, status);
        QFETCH(QString, value);
        Device_map map;
        QCOMPARE(QString::fromStdString(map.read("name,address,device\na,40001,3\nb,40002,3\n", "m.csv")), QString());
        Map_watch watch;
        watch.set_map(map, kPlanLimits);
        QCOMPARE(watch.blocks().size(), size_t(1));
        watch.begin_cycle();
        watch.take_answer(0, std::span(reinterpret_cast<const uint8_t *>(answer.constData()), size_t(answer.size())),
                          1000);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(QString::fromStdString(read_status_text(watch.readings()[size_t(i)])), status);
        QCOMPARE(QString::fromStdString(raw_text(watch.entries()[0], watch.readings()[0])).isEmpty(), value.isEmpty());
        if (!value.isEmpty())
            QCOMPARE(QString::fromStdString(engineering_text(watch.entries()[0], watch.readings()[0].value)), value);
        QCOMPARE(watch.readings()[0].fresh, status == "ok");
    }
};

QTEST_MAIN(TestMapWatch)
#include "tst_map_watch.moc"
