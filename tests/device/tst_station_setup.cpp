// Station setups: saved and opened again to the same values, keys left out
// at their defaults, every bad file refused naming its key with nothing
// changed, and the map's path kept relative to the setup file.
#include <QtTest>

#include "Station_setup.h"

namespace {

Setup_schema schema()
{
    return {.kind = "Master TCP",
            .keys = {{.name = "host", .fallback = std::string("127.0.0.1"), .max_length = 255},
                     {.name = "port", .fallback = int64_t(502), .low = 1, .high = 65535},
                     {.name = "timeout", .fallback = 1.0, .low = 0.01, .high = 60},
                     {.name = "watch", .fallback = false},
                     {.name = "parity", .fallback = std::string("None"), .choices = {"None", "Odd", "Even"}},
                     {.name = "plot", .fallback = Setup_texts{}}}};
}

// JSON written with single quotes, for reading.
QString json(const char *text) { return QString(text).replace('\'', '"'); }

const QString kHead = json("{'format': 'quillan-setup', 'version': 1, 'station': 'Master TCP', ");

}  // namespace

class TestStationSetup : public QObject {
    Q_OBJECT
private slots:
    void roundTripAndDefaults()
    {
        Station_setup setup(schema());
        QCOMPARE(setup.set("host", std::string("plc-7")), std::string());
        QCOMPARE(setup.set("port", int64_t(1502)), std::string());
        QCOMPARE(setup.set("timeout", 2.5), std::string());
        QCOMPARE(setup.set("watch", true), std::string());
        QCOMPARE(setup.set("parity", std::string("Even")), std::string());
        QCOMPARE(setup.set("plot", Setup_texts{"flow", "level"}), std::string());
        QCOMPARE(setup.set("port", int64_t(0)), std::string("port: must be a whole number from 1 to 65535"));
        QCOMPARE(setup.set("prot", int64_t(1)), std::string("prot: unknown key"));
        QVERIFY(setup.to_json().starts_with(
            "{\n  \"format\": \"quillan-setup\",\n  \"version\": 1,\n  \"station\": \"Master TCP\",\n"));

        QTemporaryDir dir;
        const std::string path = dir.filePath("plc.qsetup").toStdString();
        QCOMPARE(setup.save(path), std::string());
        Station_setup back(schema());
        QCOMPARE(back.open(path), std::string());
        QCOMPARE(back.text("host"), std::string("plc-7"));
        QCOMPARE(back.integer("port"), int64_t(1502));
        QCOMPARE(back.number("timeout"), 2.5);
        QVERIFY(back.flag("watch"));
        QCOMPARE(back.text("parity"), std::string("Even"));
        QCOMPARE(back.texts("plot"), (Setup_texts{"flow", "level"}));
        QCOMPARE(back.to_json(), setup.to_json());

        // Keys left out take their defaults, not the values held before.
        QCOMPARE(back.from_json((kHead + json("'port': 7}")).toStdString(), "plc.qsetup"), std::string());
        QCOMPARE(back.integer("port"), int64_t(7));
        QCOMPARE(back.text("host"), std::string("127.0.0.1"));
        QVERIFY(back.texts("plot").empty());
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        auto row = [](const char *tag, const QString &text, const char *message) {
            QTest::newRow(tag) << text << QString("plc.qsetup: ") + message;
        };
        const QString head = kHead;
        row("not JSON", "{\"format\": ", "not JSON: parse error at line 1, column 12");
        row("number beyond a double", head + json("'timeout': 1e99999}"),
            "not JSON: number overflow parsing '1e99999'");
        row("not an object", "[1]", "not a setup (no JSON object)");
        row("other format", json("{'format': 'quillan-map', 'version': 1}"), "format: not a quillan-setup file");
        row("version 2", json("{'format': 'quillan-setup', 'version': 2, 'station': 'Master TCP'}"),
            "version: 2 is not a version this program reads (1)");
        row("other station", json("{'format': 'quillan-setup', 'version': 1, 'station': 'Slave TCP'}"),
            "station: a setup of Slave TCP, not of Master TCP");
        row("unknown key", head + json("'prot': 502}"), "prot: unknown key");
        row("port as text", head + json("'port': '502'}"), "port: must be a whole number from 1 to 65535");
        row("port too big", head + json("'port': 70000}"), "port: must be a whole number from 1 to 65535");
        row("port not whole", head + json("'port': 5.5}"), "port: must be a whole number from 1 to 65535");
        row("time-out as text", head + json("'timeout': '1'}"), "timeout: must be a number from 0.01 to 60");
        row("watch as 1", head + json("'watch': 1}"), "watch: must be true or false");
        row("parity not a choice", head + json("'parity': 'odd'}"), "parity: must be one of: None, Odd, Even");
        row("plot with a number", head + json("'plot': ['flow', 1]}"), "plot: must be a list of texts");
        row("key twice", head + json("'port': 1, 'port': 2}"), "port: given twice");
        row("host too long", head + json("'host': '") + QString(256, 'h') + "\"}", "host: longer than 255 bytes");
        row("second bad key named first", head + json("'watch': true, 'port': 0, 'host': 1}"),
            "port: must be a whole number from 1 to 65535");
    }
    void refusals()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        Station_setup setup(schema());
        QCOMPARE(setup.set("port", int64_t(600)), std::string());
        const std::string before = setup.to_json();
        const QString got = QString::fromStdString(setup.from_json(text.toStdString(), "plc.qsetup"));
        QVERIFY2(got.startsWith(message), qPrintable(got));  // the parser's own words follow its position
        QCOMPARE(setup.to_json(), before);
    }

    void mapPaths_data()
    {
        QTest::addColumn<QString>("map");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("kept");
        QTest::newRow("beside") << "/home/u/proj/pump.csv" << "/home/u/proj/plc.qsetup" << "pump.csv";
        QTest::newRow("sibling folder") << "/home/u/proj/maps/pump.csv" << "/home/u/proj/setups/plc.qsetup"
                                        << "../maps/pump.csv";
        QTest::newRow("nothing shared below the root") << "/srv/maps/pump.csv" << "/home/u/plc.qsetup"
                                                       << "/srv/maps/pump.csv";
    }
    void mapPaths()
    {
        QFETCH(QString, map);
        QFETCH(QString, setup);
        QFETCH(QString, kept);
        const std::string stored = setup_relative_path(map.toStdString(), setup.toStdString());
        QCOMPARE(QString::fromStdString(stored), kept);
        QCOMPARE(QString::fromStdString(setup_resolved_path(stored, setup.toStdString())), map);
    }
};

QTEST_APPLESS_MAIN(TestStationSetup)
#include "tst_station_setup.moc"
