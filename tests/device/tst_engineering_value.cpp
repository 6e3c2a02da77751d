// Values in engineering units both ways: registers read to a scaled value,
// and a typed value to the registers to write, refused outside the format's
// range with the range in engineering units.
#include <QtTest>

#include "Engineering_value.h"

namespace {

using Words = QList<quint16>;

Map_entry entry(Map_table table, ValueFormat format, double scale = 1, double offset = 0, const char *unit = "")
{
    Map_entry e;
    e.name = "v";
    e.table = table;
    e.format = format;
    e.scale = scale;
    e.offset = offset;
    e.unit = unit;
    e.writable = is_writable_table(table);
    return e;
}

constexpr auto kHolding = Map_table::HoldingRegisters;

}  // namespace

Q_DECLARE_METATYPE(Map_entry)

class TestEngineeringValue : public QObject {
    Q_OBJECT
private slots:
    void reading_data()
    {
        QTest::addColumn<Map_entry>("e");
        QTest::addColumn<Words>("words");
        QTest::addColumn<QString>("text");
        using F = ValueFormat;
        QTest::newRow("signed x0.1") << entry(kHolding, F::Signed, 0.1) << Words{0xFFF6} << "-1";
        QTest::newRow("0.1 x 3 shows 0.3") << entry(kHolding, F::Signed, 0.1) << Words{3} << "0.3";
        QTest::newRow("offset") << entry(kHolding, F::Unsigned, 1, -273.15) << Words{300} << "26.85";
        QTest::newRow("hex is a number") << entry(kHolding, F::Hex) << Words{0x04D2} << "1234";
        QTest::newRow("float CDAB") << entry(kHolding, F::FloatCDAB) << Words{0x0FDB, 0x4049} << "3.1415927";
        QTest::newRow("float x10 in float digits") << entry(kHolding, F::FloatABCD, 10) << Words{0x3DCC, 0xCCCD}
                                                   << "1";
        QTest::newRow("long CDAB x0.001") << entry(kHolding, F::LongCDAB, 0.001) << Words{0x5678, 0x1234}
                                          << "305419.896";
        QTest::newRow("double") << entry(kHolding, F::DoubleABCDEFGH) << Words{0x3FB9, 0x9999, 0x9999, 0x999A}
                                << "0.1";
        QTest::newRow("float NaN") << entry(kHolding, F::FloatABCD, 2) << Words{0x7FC0, 0} << "NaN";
        QTest::newRow("bit") << entry(Map_table::Coils, F::Signed) << Words{1} << "1";
    }
    void reading()
    {
        QFETCH(Map_entry, e);
        QFETCH(Words, words);
        QFETCH(QString, text);
        const std::vector<uint16_t> w(words.begin(), words.end());
        QCOMPARE(QString::fromStdString(engineering_text(e, engineering_value(e, w))), text);
    }

    // Each row: the text typed, then the words written or the refusal.
    void writing_data()
    {
        QTest::addColumn<Map_entry>("e");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<Words>("words");
        QTest::addColumn<QString>("error");
        using F = ValueFormat;
        const Map_entry flow = entry(kHolding, F::Signed, 0.1, 0, "m3/h");
        QTest::newRow("scaled") << flow << "-1" << Words{0xFFF6} << "";
        QTest::newRow("top of range") << flow << " 3276.7 " << Words{0x7FFF} << "";
        QTest::newRow("past the top") << flow << "3276.8" << Words{} << "out of range: -3276.8 to 3276.7 m3/h";
        QTest::newRow("half rounds up") << entry(kHolding, F::Signed, 0.5) << "1.25" << Words{3} << "";
        QTest::newRow("half rounds down") << entry(kHolding, F::Signed, 0.5) << "-1.25" << Words{0xFFFD} << "";
        QTest::newRow("negative scale") << entry(kHolding, F::Unsigned, -1) << "1" << Words{}
                                        << "out of range: -65535 to 0";
        QTest::newRow("offset below zero") << entry(kHolding, F::LongABCD, 1, 100) << "99" << Words{0xFFFF, 0xFFFF}
                                           << "";
        QTest::newRow("unsigned long past") << entry(kHolding, F::UnsignedLongCDAB) << "4294967296" << Words{}
                                            << "out of range: 0 to 4294967295";
        QTest::newRow("float CDAB") << entry(kHolding, F::FloatCDAB) << "3.1415927" << Words{0x0FDB, 0x4049} << "";
        QTest::newRow("float past its range") << entry(kHolding, F::FloatABCD) << "1e39" << Words{}
                                              << "out of range: -3.402823e+38 to 3.402823e+38";
        QTest::newRow("coil on") << entry(Map_table::Coils, F::Signed) << "1" << Words{1} << "";
        QTest::newRow("coil 2") << entry(Map_table::Coils, F::Signed) << "2" << Words{} << "out of range: 0 to 1";
        QTest::newRow("text") << flow << "12x" << Words{} << "not a number";
        QTest::newRow("nan") << entry(kHolding, F::FloatABCD) << "nan" << Words{} << "not a number";
        QTest::newRow("input register") << entry(Map_table::InputRegisters, F::Signed) << "1" << Words{}
                                        << "read-only";
    }
    void writing()
    {
        QFETCH(Map_entry, e);
        QFETCH(QString, typed);
        QFETCH(Words, words);
        QFETCH(QString, error);
        const EncodedValue v = encode_engineering_text(e, typed.toStdString());
        QCOMPARE(QString::fromStdString(v.error), error);
        QCOMPARE(Words(v.words.begin(), v.words.begin() + v.count), words);
    }
};

QTEST_APPLESS_MAIN(TestEngineeringValue)
#include "tst_engineering_value.moc"
