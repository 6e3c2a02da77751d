// quillan-poll's command line turned into requests: the function code each
// option makes (5 or 6 for one value of one coil or register, 15 or 16 for
// more or for a 32/64-bit value), where it points and what it carries.
#include <QtTest>

#include "Poll_link.h"
#include "Poll_options.h"
#include "Poll_plan.h"

class TestPollPlan : public QObject {
    Q_OBJECT
private slots:
    void requests_data()
    {
        QTest::addColumn<QStringList>("args");  // after --tcp 127.0.0.1
        QTest::addColumn<QString>("frame");     // the first request's TCP frame, transaction 0
        QTest::addColumn<int>("values");        // values its answer carries
        QTest::newRow("one register") << QStringList{"--write", "40002=5"} << "00 00 00 00 00 06 01 06 00 01 00 05" << 0;
        QTest::newRow("two registers") << QStringList{"--write", "40002=5,-1"}
                                       << "00 00 00 00 00 0B 01 10 00 01 00 02 04 00 05 FF FF" << 0;
        QTest::newRow("one float") << QStringList{"--write", "40001=12.5", "--format", "Float_ABCD"}
                                   << "00 00 00 00 00 0B 01 10 00 00 00 02 04 41 48 00 00" << 0;
        QTest::newRow("one coil") << QStringList{"--write", "00020=1"} << "00 00 00 00 00 06 01 05 00 13 FF 00" << 0;
        QTest::newRow("two coils") << QStringList{"--write", "00020=1,1", "--unit", "7"}
                                   << "00 00 00 00 00 08 07 0F 00 13 00 02 01 03" << 0;
        QTest::newRow("registers") << QStringList{"--read", "40001:10"} << "00 00 00 00 00 06 01 03 00 00 00 0A" << 10;
        QTest::newRow("longs") << QStringList{"--read", "30005:4", "--format", "long-cdab"}
                               << "00 00 00 00 00 06 01 04 00 04 00 04" << 2;
        QTest::newRow("one double") << QStringList{"--read", "40001", "--format", "double-hgfedcba"}
                                    << "00 00 00 00 00 06 01 03 00 00 00 04" << 1;
        QTest::newRow("coils") << QStringList{"--read", "00017:32"} << "00 00 00 00 00 06 01 01 00 10 00 20" << 32;
        QTest::newRow("six digits") << QStringList{"--read", "165536"} << "00 00 00 00 00 06 01 02 FF FF 00 01" << 1;
        QTest::newRow("mask write") << QStringList{"--mask-write", "40005=0xF2,0b100101"}
                                    << "00 00 00 00 00 08 01 16 00 04 00 F2 00 25" << 0;
        QTest::newRow("read-write") << QStringList{"--read-write", "40004:6", "40015=255"}
                                    << "00 00 00 00 00 0D 01 17 00 03 00 06 00 0E 00 01 02 00 FF" << 6;
        QTest::newRow("identify") << QStringList{"--identify"} << "00 00 00 00 00 05 01 2B 0E 01 00" << 0;
        QTest::newRow("report id") << QStringList{"--report-id", "--unit", "0"} << "00 00 00 00 00 02 00 11" << 0;
    }
    void requests()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, frame);
        QFETCH(int, values);
        std::vector<std::string> line = {"--tcp", "127.0.0.1"};
        for (const QString &a : args)
            line.push_back(a.toStdString());
        const Poll_command cmd = parse_poll_command(line);
        QVERIFY2(cmd.action == Poll_command::Run, cmd.error.c_str());
        Poll_plan plan;
        QCOMPARE(QString::fromStdString(make_poll_plan(cmd.options, nullptr, plan)), QString());
        QVERIFY(!plan.jobs.empty());
        uint8_t buffer[512];
        const int32_t n = frame_poll_request(Traffic_framing::Tcp, plan.jobs[0].request, buffer);
        QVERIFY(n > 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(buffer), n).toHex(' ').toUpper(), frame.toLatin1());
        QCOMPARE(int(plan.jobs[0].block.entries.size()), values);
    }
};

QTEST_APPLESS_MAIN(TestPollPlan)
#include "tst_poll_plan.moc"
