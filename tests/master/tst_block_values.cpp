// The values of a block write as typed into the dialog.
#include <QtTest>

#include "Block_values.h"

namespace {

QString repeated(const QString &item, int n, const QString &sep)
{
    QStringList items;
    for (int i = 0; i < n; ++i)
        items << item;
    return items.join(sep);
}

// The words or bits parsed, as hexadecimal words or 0/1 digits.
QString shown(const BlockValues &v)
{
    QStringList out;
    for (uint16_t w : v.words)
        out << QString::asprintf("%04X", w);
    for (uint8_t b : v.bits)
        out << QString::number(b);
    return out.join(' ');
}

}  // namespace

class TestBlockValues : public QObject {
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<bool>("coils");
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("values");  // what is sent, when accepted
        QTest::addColumn<QString>("error");
        const int sig = int(ValueFormat::Signed);
        QTest::newRow("one per line") << false << sig << "1\n-1\n65535" << "0001 FFFF FFFF" << "";
        QTest::newRow("commas, blanks, empty items")
            << false << sig << " 1, 2,3\r\n\n4," << "0001 0002 0003 0004" << "";
        QTest::newRow("floats take two registers")
            << false << int(ValueFormat::FloatABCD) << "1.5\n-2.5" << "3FC0 0000 C020 0000" << "";
        QTest::newRow("hex") << false << int(ValueFormat::Hex) << "0x1234,ff" << "1234 00FF" << "";
        QTest::newRow("coils") << true << sig << "1,0,1\n1" << "1 0 1 1" << "";
        QTest::newRow("coils ignore the format") << true << int(ValueFormat::DoubleABCDEFGH) << "0" << "0" << "";
        QTest::newRow("bad on line 3") << false << sig << "1\n2\n12x" << "" << "line 3: \"12x\": not a number";
        QTest::newRow("range on line 2, CR LF")
            << false << sig << "1\r\n70000" << "" << "line 2: \"70000\": value out of range";
        QTest::newRow("comma line counts once")
            << false << sig << "1,2\n3,x,4" << "" << "line 2: \"x\": not a number";
        QTest::newRow("coil 2") << true << sig << "1\n2" << "" << "line 2: \"2\": a coil takes 0 or 1";
        QTest::newRow("long item cut short")
            << false << sig << "abcdefghijklmnopqrstuvwxyz0123" << ""
            << "line 1: \"abcdefghijklmnopqrstuvwx...\": not a number";
        QTest::newRow("nothing") << false << sig << "" << "" << "no values";
        QTest::newRow("only separators") << true << sig << " \n , \n" << "" << "no values";
        QTest::newRow("124 registers")
            << false << sig << repeated("7", 124, "\n") << ""
            << "line 124: too many values: at most 123 registers in one request";
        QTest::newRow("31 doubles")
            << false << int(ValueFormat::DoubleABCDEFGH) << repeated("1", 31, "\n") << ""
            << "line 31: too many values: at most 123 registers in one request";
        QTest::newRow("1969 coils on one line")
            << true << sig << repeated("1", 1969, ",") << ""
            << "line 1: too many values: at most 1968 coils in one request";
    }
    void parse()
    {
        QFETCH(bool, coils);
        QFETCH(int, format);
        QFETCH(QString, text);
        QFETCH(QString, values);
        QFETCH(QString, error);
        BlockValues out;
        out.words = {0xDEAD};  // stale content never survives
        const std::string e = parse_block_values(text.toStdString(), coils, ValueFormat(format), out);
        QCOMPARE(QString::fromStdString(e), error);
        QCOMPARE(shown(out), values);
    }

    // The largest requests just fit.
    void limits()
    {
        BlockValues out;
        QCOMPARE(parse_block_values(repeated("1", 123, "\n").toStdString(), false, ValueFormat::Unsigned, out), "");
        QCOMPARE(out.words.size(), size_t(123));
        QCOMPARE(parse_block_values(repeated("1", 30, ",").toStdString(), false, ValueFormat::DoubleHGFEDCBA, out),
                 "");
        QCOMPARE(out.words.size(), size_t(120));
        QCOMPARE(parse_block_values(repeated("1", 1968, "\n").toStdString(), true, ValueFormat::Signed, out), "");
        QCOMPARE(out.bits.size(), size_t(1968));
    }
};

QTEST_MAIN(TestBlockValues)
#include "tst_block_values.moc"
