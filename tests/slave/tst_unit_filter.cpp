// Reading the unit list an operator types: what it lets through, how it is
// written back, and the message for each kind of mistake.
#include <QtTest>

#include "Unit_filter.h"

class TestUnitFilter : public QObject {
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("result");  // canonical text, or the error
        QTest::addColumn<QString>("allowed");  // probes, as a string of 0/1 for units 0, 1, 5, 10, 20, 21, 247, 255

        QTest::newRow("empty is all") << "" << "" << "11111111";
        QTest::newRow("blanks are all") << "  \t " << "" << "11111111";
        QTest::newRow("list") << "1, 5, 10-20" << "1, 5, 10-20" << "01111000";
        QTest::newRow("sorted and merged") << " 20 ,10-19,5,1,5" << "1, 5, 10-20" << "01111000";
        QTest::newRow("adjacent ranges join") << "0-4,5" << "0-5" << "11100000";
        QTest::newRow("whole byte") << "0-255" << "0-255" << "11111111";
        QTest::newRow("single range") << "21-21" << "21" << "00000100";
        QTest::newRow("leading zeros") << "007, 0247" << "7, 247" << "00000010";
        QTest::newRow("open end") << "5-" << "5-: range without an end" << "";
        QTest::newRow("open start") << "-5" << "-5: range without a start" << "";
        QTest::newRow("too large") << "1, 300" << "300: unit address out of range (0 to 255)" << "";
        QTest::newRow("huge") << "99999999999999999999" << "99999999999999999999: unit address out of range (0 to 255)"
                              << "";
        QTest::newRow("range too large") << "250-256" << "250-256: unit address out of range (0 to 255)" << "";
        QTest::newRow("letter") << "a" << "a: not a unit address" << "";
        QTest::newRow("hex") << "0x10" << "0x10: not a unit address" << "";
        QTest::newRow("backwards") << "20-10" << "20-10: range runs backwards" << "";
        QTest::newRow("double dash") << "1-5-7" << "1-5-7: not a unit address" << "";
        QTest::newRow("blank separated") << "1 5" << "1 5: not a unit address" << "";
        QTest::newRow("empty entry") << "1,,5" << "entry 2 is empty" << "";
        QTest::newRow("trailing comma") << "1," << "entry 2 is empty" << "";
        QTest::newRow("control byte") << QString("1\x01") << "1?: not a unit address" << "";
        QTest::newRow("too long") << QString(1025, '1') << "unit list too long (more than 1024 characters)" << "";
    }
    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, result);
        QFETCH(QString, allowed);
        UnitFilter f;
        std::string error;
        QVERIFY(UnitFilter::parse("3", f, error));
        const bool ok = UnitFilter::parse(text.toStdString(), f, error);
        QCOMPARE(ok, !allowed.isEmpty());
        if (!ok) {
            QCOMPARE(QString::fromStdString(error), result);
            QCOMPARE(QString::fromStdString(f.text()), QString("3"));  // the previous filter stays
            return;
        }
        QCOMPARE(QString::fromStdString(f.text()), result);
        const unsigned probes[] = {0, 1, 5, 10, 20, 21, 247, 255};
        QString got;
        for (unsigned u : probes)
            got += f.allows(u) ? '1' : '0';
        QCOMPARE(got, allowed);
        QVERIFY(!f.allows(256) || f.all());
    }
};

QTEST_GUILESS_MAIN(TestUnitFilter)
#include "tst_unit_filter.moc"
