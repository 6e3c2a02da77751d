// Range checks of the master request fields and their message boxes.
#include <QtTest>

#include "Notices.h"

class TestNotices : public QObject {
    Q_OBJECT
    QStringList boxes_;
private slots:
    void init()
    {
        boxes_.clear();
        set_message_box_sink([this](const std::string &text, const std::string &caption) {
            boxes_ << QString::fromStdString(caption + "|" + text);
        });
    }
    void cleanup() { set_message_box_sink({}); }

    void checks_data()
    {
        QTest::addColumn<int>("which");  // 0 device, 1 address, 2 count
        QTest::addColumn<uint>("value");
        QTest::addColumn<uint>("limit");
        QTest::addColumn<QString>("box");  // empty: accepted
        const QString dev = "Quillan|Modbus Device Address must be 1 - 247 !!!!";
        const QString reg = "Quillan|Register/Relay Address must be 1 - 9999 !!!!";
        QTest::newRow("device 0") << 0 << 0u << 0u << dev;
        QTest::newRow("device 1") << 0 << 1u << 0u << QString();
        QTest::newRow("device 247") << 0 << 247u << 0u << QString();
        QTest::newRow("device 248") << 0 << 248u << 0u << dev;
        QTest::newRow("device 0xFFFF") << 0 << 0xFFFFu << 0u << dev;
        QTest::newRow("address 0") << 1 << 0u << 0u << reg;
        QTest::newRow("address 1") << 1 << 1u << 0u << QString();
        QTest::newRow("address 9999") << 1 << 9999u << 0u << QString();
        QTest::newRow("address 10000") << 1 << 10000u << 0u << reg;
        QTest::newRow("rtu words 121") << 2 << 121u << 120u
                                       << "Quillan|Communication Words/Bits must be 1 - 120 !!!!";
        QTest::newRow("rtu words 120") << 2 << 120u << 120u << QString();
        QTest::newRow("rtu bits 1921") << 2 << 1921u << 1920u
                                       << "Quillan|Communication Words/Bits must be 1 - 1920 !!!!";
        QTest::newRow("ascii bits 961") << 2 << 961u << 960u
                                        << "Quillan|Communication Words/Bits must be 1 - 960 !!!!";
        QTest::newRow("ascii words 61") << 2 << 61u << 60u << "Quillan|Communication Words/Bits must be 1 - 60 !!!!";
        QTest::newRow("ascii words 0") << 2 << 0u << 60u << "Quillan|Communication Words/Bits must be 1 - 60 !!!!";
        QTest::newRow("bits 1") << 2 << 1u << 1920u << QString();
    }
    void checks()
    {
        QFETCH(int, which);
        QFETCH(uint, value);
        QFETCH(uint, limit);
        QFETCH(QString, box);
        int r = which == 0   ? check_device_address(uint16_t(value))
                : which == 1 ? check_register_address(uint16_t(value))
                             : check_comm_count(uint16_t(value), uint16_t(limit));
        QCOMPARE(r, box.isEmpty() ? 0 : -1);
        QCOMPARE(boxes_, box.isEmpty() ? QStringList() : QStringList{box});
    }

    void statusSink()
    {
        std::string got;
        set_status_sink([&](const std::string &t) { got = t; });
        show_status_message("Open COM1 port OK ......");
        QCOMPARE(QString::fromStdString(got), QString("Open COM1 port OK ......"));
        set_status_sink({});
    }
};

QTEST_APPLESS_MAIN(TestNotices)
#include "tst_notices.moc"
