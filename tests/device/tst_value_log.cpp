// The value log read back by Python's csv module, continued only when it
// holds the same columns, and stopped by the first write error with the
// lines before it whole.
#include <QtTest>

#include <csignal>
#include <ctime>
#include <sys/resource.h>

#include "Value_log.h"

namespace {

QString slurp(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString("<missing>");
}

struct Watch {
    Device_map map;
    std::vector<Entry_reading> readings;
    Watch()
    {
        const std::string error =
            map.read("name,address,unit\nflow,40001,m3/h\npump_on,00001,\nmass,40002,\"kg, dry\"\n", "w.csv");
        Q_ASSERT(error.empty());
        readings.resize(map.size());
    }
    // One cycle: entry i fresh with value v, or failed, or not read.
    void cycle(std::initializer_list<double> values)
    {
        begin_cycle(readings);
        size_t i = 0;
        for (const double v : values) {
            Entry_reading &r = readings[i++];
            r.fresh = !std::isnan(v);
            r.status = std::isnan(v) ? (i == 1 ? Read_status::Timeout : Read_status::NotRead) : Read_status::Ok;
            r.value = v;
        }
    }
};

}  // namespace

class TestValueLog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("TZ", "UTC");
        tzset();
    }

    void readBackByPython()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("run.csv");
        Watch w;
        Value_log log;
        QCOMPARE(log.open(path.toStdString(), w.map.entries()), std::string());
        w.cycle({12.5, 1, 0.25});
        QCOMPARE(log.write_cycle(1000, w.map.entries(), w.readings), Value_log::Result::Written);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        w.cycle({nan, 0, nan});  // flow timed out, mass not read
        QCOMPARE(log.write_cycle(2500, w.map.entries(), w.readings), Value_log::Result::Written);
        // Each line is in the file as soon as it is written.
        QProcess python;
        python.start("python3", {"-c",
                                 "import csv, json, sys\n"
                                 "print(json.dumps(list(csv.reader(open(sys.argv[1], newline='', "
                                 "encoding='utf-8')))))",
                                 path});
        QVERIFY(python.waitForFinished(20000));
        QCOMPARE(python.exitCode(), 0);
        const QJsonArray rows = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
        const QJsonArray expected = QJsonDocument::fromJson(R"([
            ["time", "flow [m3/h]", "pump_on", "mass [kg, dry]", "errors"],
            ["1970-01-01T00:00:01.000+00:00", "12.5", "1", "0.25", ""],
            ["1970-01-01T00:00:02.500+00:00", "", "0", "", "flow"]])")
                                        .array();
        QCOMPARE(rows, expected);

        // Opened again: continued without a second header.
        log.close();
        QCOMPARE(log.open(path.toStdString(), w.map.entries()), std::string());
        QCOMPARE(log.write_cycle(3000, w.map.entries(), w.readings), Value_log::Result::Written);
        QCOMPARE(slurp(path).count("time,"), 1);
        QCOMPARE(slurp(path).count("\r\n"), 4);

        // A file of other columns is refused and left as it was.
        const std::span<const Map_entry> fewer(w.map.entries().data(), 2);
        QCOMPARE(log.open(path.toStdString(), fewer), std::string("run.csv: holds other columns"));
        QCOMPARE(slurp(path).count("\r\n"), 4);
    }

    void writeErrorStopsOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("run.csv");
        Watch w;
        Value_log log;
        QCOMPARE(log.open(path.toStdString(), w.map.entries()), std::string());
        w.cycle({12.5, 1, 0.25});
        QCOMPARE(log.write_cycle(1000, w.map.entries(), w.readings), Value_log::Result::Written);
        const QString before = slurp(path);
        // A file size limit a few bytes on stands in for a full disk.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = rlim_t(before.size() + 10);
        setrlimit(RLIMIT_FSIZE, &small);
        const Value_log::Result first = log.write_cycle(2000, w.map.entries(), w.readings);
        const Value_log::Result second = log.write_cycle(3000, w.map.entries(), w.readings);
        setrlimit(RLIMIT_FSIZE, &old);
        QCOMPARE(first, Value_log::Result::Failed);
        QCOMPARE(log.error(), std::string("run.csv: File too large"));
        QCOMPARE(second, Value_log::Result::Stopped);
        QVERIFY(!log.active());
        QCOMPARE(slurp(path), before);  // the cut line taken back
    }
};

QTEST_APPLESS_MAIN(TestValueLog)
#include "tst_value_log.moc"
