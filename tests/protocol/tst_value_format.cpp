// Register values shown and typed in the value formats. The word patterns
// are known IEEE-754 and two's-complement encodings written out by hand.
#include <QtTest>

#include "Value_format.h"

namespace {

using Words = QList<quint16>;

std::vector<uint16_t> vec(const Words &w) { return std::vector<uint16_t>(w.begin(), w.end()); }

}  // namespace

class TestValueFormat : public QObject {
    Q_OBJECT
private slots:
    void itemTexts()
    {
        std::vector<std::string> expected = {
            "Signed",          "Unsigned",           "Hex",
            "Binary",          "Long ABCD",          "Long CDAB",
            "Long BADC",       "Long DCBA",          "Unsigned long ABCD",
            "Unsigned long CDAB", "Unsigned long BADC", "Unsigned long DCBA",
            "Float ABCD",      "Float CDAB",         "Float BADC",
            "Float DCBA",      "Double ABCDEFGH",    "Double HGFEDCBA"};
        QCOMPARE(value_format_texts(), expected);
        ValueFormat f{};
        QVERIFY(!value_format_from_index(18, f));
        QVERIFY(!value_format_from_index(-1, f));
        QVERIFY(value_format_from_index(16, f));
        QCOMPARE(value_format_width(f), 4);
    }

    // Each row both ways: the words show as the text, and the text typed in
    // gives the words back.
    void patterns_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<Words>("words");
        QTest::addColumn<QString>("text");
        auto row = [](const char *name, ValueFormat f, Words w, const char *text) {
            QTest::newRow(name) << int(f) << w << QString(text);
        };
        using F = ValueFormat;
        row("signed 0", F::Signed, {0x0000}, "     0");
        row("signed -1", F::Signed, {0xFFFF}, "    -1");
        row("signed -32768", F::Signed, {0x8000}, "-32768");
        row("unsigned 65535", F::Unsigned, {0xFFFF}, " 65535");
        row("hex 1234", F::Hex, {0x04D2}, "0x04D2");
        row("binary 1234", F::Binary, {0x04D2}, "0000010011010010");
        row("long ABCD", F::LongABCD, {0x1234, 0x5678}, "305419896");
        row("long CDAB", F::LongCDAB, {0x5678, 0x1234}, "305419896");
        row("long BADC", F::LongBADC, {0x3412, 0x7856}, "305419896");
        row("long DCBA", F::LongDCBA, {0x7856, 0x3412}, "305419896");
        row("long -2 ABCD", F::LongABCD, {0xFFFF, 0xFFFE}, "-2");
        row("long -2 CDAB", F::LongCDAB, {0xFFFE, 0xFFFF}, "-2");
        row("long min", F::LongABCD, {0x8000, 0x0000}, "-2147483648");
        row("ulong max", F::UnsignedLongABCD, {0xFFFF, 0xFFFF}, "4294967295");
        row("ulong DCBA", F::UnsignedLongDCBA, {0x7856, 0x3412}, "305419896");
        row("ulong BADC", F::UnsignedLongBADC, {0x0080, 0x0000}, "2147483648");
        row("float 1 ABCD", F::FloatABCD, {0x3F80, 0x0000}, "1");
        row("float 1 CDAB", F::FloatCDAB, {0x0000, 0x3F80}, "1");
        row("float 1 BADC", F::FloatBADC, {0x803F, 0x0000}, "1");
        row("float 1 DCBA", F::FloatDCBA, {0x0000, 0x803F}, "1");
        row("float -2.5", F::FloatABCD, {0xC020, 0x0000}, "-2.5");
        row("float pi ABCD", F::FloatABCD, {0x4049, 0x0FDB}, "3.1415927");
        row("float pi CDAB", F::FloatCDAB, {0x0FDB, 0x4049}, "3.1415927");
        row("float pi BADC", F::FloatBADC, {0x4940, 0xDB0F}, "3.1415927");
        row("float pi DCBA", F::FloatDCBA, {0xDB0F, 0x4940}, "3.1415927");
        row("float 0.1", F::FloatABCD, {0x3DCC, 0xCCCD}, "0.1");
        row("float NaN", F::FloatABCD, {0x7FC0, 0x0000}, "NaN");
        row("float Inf", F::FloatABCD, {0x7F80, 0x0000}, "Inf");
        row("float -Inf", F::FloatABCD, {0xFF80, 0x0000}, "-Inf");
        row("float -Inf DCBA", F::FloatDCBA, {0x0000, 0x80FF}, "-Inf");
        row("double 1", F::DoubleABCDEFGH, {0x3FF0, 0x0000, 0x0000, 0x0000}, "1");
        row("double 1 reversed", F::DoubleHGFEDCBA, {0x0000, 0x0000, 0x0000, 0xF03F}, "1");
        row("double 0.1", F::DoubleABCDEFGH, {0x3FB9, 0x9999, 0x9999, 0x999A}, "0.1");
        row("double -2.5 reversed", F::DoubleHGFEDCBA, {0x0000, 0x0000, 0x0000, 0x04C0}, "-2.5");
        row("double NaN", F::DoubleABCDEFGH, {0x7FF8, 0x0000, 0x0000, 0x0000}, "NaN");
    }
    void patterns()
    {
        QFETCH(int, format);
        QFETCH(Words, words);
        QFETCH(QString, text);
        const auto f = ValueFormat(format);
        const std::vector<uint16_t> w = vec(words);
        QCOMPARE(QString::fromStdString(decode_value(f, w)), text);
        const EncodedValue e = encode_value(f, text.toStdString());
        QCOMPARE(QString::fromStdString(e.error), QString());
        QCOMPARE(e.count, int(w.size()));
        QCOMPARE(Words(e.words.begin(), e.words.begin() + e.count), words);
    }

    void typed_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("text");
        QTest::addColumn<Words>("words");  // empty when refused
        QTest::addColumn<QString>("error");
        auto ok = [](const char *name, ValueFormat f, const char *text, Words w) {
            QTest::newRow(name) << int(f) << QString(text) << w << QString();
        };
        auto bad = [](const char *name, ValueFormat f, const char *text, const char *error) {
            QTest::newRow(name) << int(f) << QString(text) << Words{} << QString(error);
        };
        using F = ValueFormat;
        ok("signed takes 65535", F::Signed, "65535", {0xFFFF});
        ok("signed +7 with blanks", F::Signed, "  +7 ", {0x0007});
        ok("hex without 0x", F::Hex, "ff", {0x00FF});
        ok("binary with 0b", F::Binary, "0b101", {0x0005});
        ok("long takes 4294967295", F::LongCDAB, "4294967295", {0xFFFF, 0xFFFF});
        ok("float +1.5 CDAB", F::FloatCDAB, "+1.5", {0x0000, 0x3FC0});
        ok("float exponent", F::FloatABCD, "1e3", {0x447A, 0x0000});
        bad("signed 65536", F::Signed, "65536", "value out of range");
        bad("signed -32769", F::Signed, "-32769", "value out of range");
        bad("signed 12x", F::Signed, "12x", "not a number");
        bad("signed empty", F::Signed, "", "not a number");
        bad("signed sign only", F::Signed, "-", "not a number");
        bad("signed long digits", F::Signed, "99999999999999999999999", "value out of range");
        bad("unsigned -1", F::Unsigned, "-1", "value out of range");
        bad("hex 5 digits", F::Hex, "0x10000", "value out of range");
        bad("hex G", F::Hex, "0xG", "not a number");
        bad("hex 0x alone", F::Hex, "0x", "not a number");
        bad("binary 2", F::Binary, "102", "not a number");
        bad("binary 17 digits", F::Binary, "11111111111111111", "value out of range");
        bad("long 2^32", F::LongABCD, "4294967296", "value out of range");
        bad("ulong -5", F::UnsignedLongABCD, "-5", "value out of range");
        bad("float 1e39", F::FloatABCD, "1e39", "value out of range");
        bad("float 1.5e", F::FloatABCD, "1.5e", "not a number");
        bad("float +-1", F::FloatABCD, "+-1", "not a number");
        bad("float comma", F::FloatABCD, "1,5", "not a number");
        bad("double 1e400", F::DoubleABCDEFGH, "1e400", "value out of range");
    }
    void typed()
    {
        QFETCH(int, format);
        QFETCH(QString, text);
        QFETCH(Words, words);
        QFETCH(QString, error);
        const EncodedValue e = encode_value(ValueFormat(format), text.toStdString());
        QCOMPARE(QString::fromStdString(e.error), error);
        QCOMPARE(Words(e.words.begin(), e.words.begin() + e.count), words);
    }

    // The value column: a value on its group's first row, "-" below it, "?"
    // for a group cut short by the end of the registers.
    void column_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<Words>("words");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("signed") << int(ValueFormat::Signed) << Words{1, 0xFFFF} << QStringList{"     1", "    -1"};
        QTest::newRow("floats, one short") << int(ValueFormat::FloatABCD) << Words{0x3F80, 0, 0xC020, 0, 0x1234}
                                           << QStringList{"1", "-", "-2.5", "-", "?"};
        QTest::newRow("double, three short")
            << int(ValueFormat::DoubleABCDEFGH) << Words{0x3FF0, 0, 0, 0, 1, 2, 3}
            << QStringList{"1", "-", "-", "-", "?", "-", "-"};
        QTest::newRow("one register of a long") << int(ValueFormat::LongABCD) << Words{7} << QStringList{"?"};
    }
    void column()
    {
        QFETCH(int, format);
        QFETCH(Words, words);
        QFETCH(QStringList, texts);
        QStringList got;
        for (const std::string &t : value_column_texts(ValueFormat(format), vec(words)))
            got << QString::fromStdString(t);
        QCOMPARE(got, texts);
        // A click on any row of a group finds the group's first register.
        for (int i = 0; i < words.size(); ++i) {
            const int start = value_group_start(ValueFormat(format), i);
            QCOMPARE(got[start] == "-", false);
            for (int k = start + 1; k <= i; ++k)
                QCOMPARE(got[k], QString("-"));
        }
    }
};

QTEST_MAIN(TestValueFormat)
#include "tst_value_format.moc"
