// A device map on the slave side: what a bad map is refused for, the
// conversion of simulated values into an entry's words, and the entries'
// initial values, value texts, edits and stopped simulations.
#include <QtTest>

#include "Slave_map.h"
#include "Slave_tables.h"

namespace {

const char *kHeader = "name,address,device,format,scale,unit,initial,simulate\n";

QString take(const QString &lines, SlaveMap &out, const char *hint = "")
{
    Device_map map;
    const std::string text = kHeader + lines.toStdString();
    if (std::string problem = map.read(text, "m.csv"); !problem.empty())
        return QString::fromStdString("map: " + problem);
    return QString::fromStdString(out.take(map, "m.csv", kSlaveEntries, hint));
}

QString words(const uint16_t *w, unsigned n)
{
    QStringList s;
    for (unsigned i = 0; i < n; ++i)
        s << QString::asprintf("%04X", w[i]);
    return s.join(' ');
}

}  // namespace

class TestSlaveMap : public QObject {
    Q_OBJECT
private slots:
    void badMaps_data()
    {
        QTest::addColumn<QString>("lines");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QString>("error");
        QTest::newRow("initial no number") << "a,40001,1,Signed,1,,abc,\n" << ""
                                           << "m.csv: line 2: initial abc: not a number";
        QTest::newRow("initial out of range")
            << "a,40001,1,Signed,0.1,m3/h,5000,\n" << ""
            << "m.csv: line 2: initial 5000: out of range: -3276.8 to 3276.7 m3/h";
        QTest::newRow("simulate text") << "ok,00001,1,Bit,,,,\na,40001,1,Signed,1,,,\"sine(0, 100)\"\n" << ""
                                       << "m.csv: line 3: sine(0, 100): sine needs MIN, MAX and PERIOD";
        QTest::newRow("toggle on a register") << "a,40001,1,Signed,1,,,toggle(1)\n" << ""
                                              << "m.csv: line 2: toggle(1): toggle is for bits";
        QTest::newRow("time in 16 bits") << "a,30001,1,Unsigned,1,,,time\n" << ""
                                         << "m.csv: line 2: time: time needs a Long, Unsigned long or Double format";
        QTest::newRow("beyond the tables") << "a,41024,1,Long ABCD,1,,,\n" << ""
                                           << "m.csv: line 2: 41024-41025: beyond the tables' 1024 entries";
        QTest::newRow("beyond, with the hint")
            << "a,401100,1,Signed,1,,,\n" << "--size"
            << "m.csv: line 2: 401100: beyond the tables' 1024 entries; --size 1100 or more makes room for it";
        QTest::newRow("devices share the tables")
            << "a,40001,1,Long ABCD,1,,,\nb,40002,2,Signed,1,,,\n" << ""
            << "m.csv: line 3: 40002: overlaps a (40001-40002) once the device column is ignored";
    }
    void badMaps()
    {
        QFETCH(QString, lines);
        QFETCH(QString, hint);
        QFETCH(QString, error);
        SlaveMap map;
        QCOMPARE(take("kept,40001,1,Signed,1,,7,\n", map), QString());
        QCOMPARE(take(lines, map, hint.toLatin1().constData()), error);
        QCOMPARE(map.size(), size_t(1));  // the map taken before stays
        QCOMPARE(map.entries()[0].entry.name, std::string("kept"));
    }

    // Scale and offset into the format; whole numbers rounded; clamped to the
    // format's range, or wrapped around it for step.
    void encoder_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<double>("scale");
        QTest::addColumn<double>("offset");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("wrap");
        QTest::addColumn<QString>("words");
        QTest::newRow("scaled, rounded") << "Signed" << 0.1 << 0.0 << -21.46 << false << "FF29";
        QTest::newRow("offset") << "Unsigned" << 1.0 << -40.0 << 0.0 << false << "0028";
        QTest::newRow("clamped high") << "Signed" << 0.1 << 0.0 << 5000.0 << false << "7FFF";
        QTest::newRow("clamped low") << "Unsigned" << 1.0 << 0.0 << -3.0 << false << "0000";
        QTest::newRow("wrapped high") << "Signed" << 1.0 << 0.0 << 32768.0 << true << "8000";
        QTest::newRow("wrapped low") << "Unsigned" << 1.0 << 0.0 << -1.0 << true << "FFFF";
        QTest::newRow("long, words swapped") << "Long CDAB" << 1.0 << 0.0 << 1700000000.0 << false << "F100 6553";
        QTest::newRow("float") << "Float ABCD" << 1.0 << 0.0 << 1.5 << false << "3FC0 0000";
        QTest::newRow("float beyond its range") << "Float ABCD" << 1.0 << 0.0 << 1e300 << false << "7F7F FFFF";
    }
    void encoder()
    {
        QFETCH(QString, format);
        QFETCH(double, scale);
        QFETCH(double, offset);
        QFETCH(double, value);
        QFETCH(bool, wrap);
        QFETCH(QString, words);
        Map_entry e;
        for (int i = 0; i < kValueFormatCount; ++i)
            if (format == value_format_texts()[size_t(i)].c_str())
                value_format_from_index(i, e.format);
        e.scale = scale;
        e.offset = offset;
        uint16_t w[4] = {};
        slave_map_encoder(e)(value, wrap ? SimRange::Wrap : SimRange::Clamp, w);
        QCOMPARE(::words(w, unsigned(value_format_width(e.format))), words);
    }

    void entriesOfAMap()
    {
        SlaveMap map;
        QCOMPARE(take("flow,40001,1,Float ABCD,1,m3/h,2.5,\"ramp(0, 1, 1)\"\n"
                      "temp,30003,1,Signed,0.1,C,21.5,\n"
                      "run,00004,1,Bit,,,1,toggle(0.5)\n",
                      map),
                 QString());
        // Initial values as words, the simulated ones too (their first tick
        // follows at once).
        const std::vector<SimUpdate> initial = map.initialUpdates();
        QCOMPARE(initial.size(), size_t(3));
        QCOMPARE(words(initial[0].words.data(), initial[0].count), QString("4020 0000"));
        QCOMPARE(QList<int>({initial[1].kind, int(initial[1].index), int(initial[1].words[0])}),
                 QList<int>({KindInputRegister, 2, 215}));
        QCOMPARE(QList<int>({initial[2].kind, int(initial[2].words[0])}), QList<int>({KindCoil, 1}));

        const uint16_t temp[] = {0xFF29};
        QCOMPARE(map.valueText(1, temp), std::string("-21.5"));
        // An input register takes the operator's value; a bad one is refused.
        QCOMPARE(int(map.encodeText(1, " 30.1 ").words[0]), 301);
        QCOMPARE(map.encodeText(1, "4000").error, std::string("out of range: -3276.8 to 3276.7 C"));

        QCOMPARE(map.covering(KindHoldingRegister, 1), std::vector<size_t>{0});
        QVERIFY(map.covering(KindHoldingRegister, 2).empty());
        QVERIFY(map.covering(KindInputRegister, 0).empty());
        QCOMPARE(map.simulationText(0), std::string("ramp(0, 1, 1)"));
        QCOMPARE(map.simulationText(1), std::string());
        // A master's write to the float's second register stops it.
        map.simulation().written(KindHoldingRegister, 1);
        QCOMPARE(map.simulationText(0), std::string("written"));
        QCOMPARE(map.simulationText(2), std::string("toggle(0.5)"));
        map.written(2);
        QCOMPARE(map.simulationText(2), std::string("written"));
        map.simulation().restart();
        QCOMPARE(map.simulationText(0), std::string("ramp(0, 1, 1)"));
    }
};

QTEST_GUILESS_MAIN(TestSlaveMap)
#include "tst_slave_map.moc"
