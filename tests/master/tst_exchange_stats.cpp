// The exchange counters and their label.
#include <QtTest>

#include "Exchange_stats.h"

class TestExchangeStats : public QObject {
    Q_OBJECT
private slots:
    void label_data()
    {
        QTest::addColumn<QString>("events");  // T written, A<ms> answer, X<ms> exception, E error, O time-out, Z reset
        QTest::addColumn<QString>("label");
        QTest::newRow("nothing yet") << ""
                                     << "Tx 0  Rx 0  Exc 0  Err 0  T/O 0  last - ms  min - ms  avg - ms  max - ms";
        QTest::newRow("no answer yet") << "T O T E"
                                       << "Tx 2  Rx 0  Exc 0  Err 1  T/O 1  last - ms  min - ms  avg - ms  max - ms";
        QTest::newRow("answers and an exception")
            << "T A40 T X10 T A25 T O"
            << "Tx 4  Rx 3  Exc 1  Err 0  T/O 1  last 25 ms  min 10 ms  avg 25 ms  max 40 ms";
        QTest::newRow("average rounds") << "T A1 T A2"
                                        << "Tx 2  Rx 2  Exc 0  Err 0  T/O 0  last 2 ms  min 1 ms  avg 2 ms  max 2 ms";
        QTest::newRow("zero ms answer counts as the minimum")
            << "T A5 T A0" << "Tx 2  Rx 2  Exc 0  Err 0  T/O 0  last 0 ms  min 0 ms  avg 3 ms  max 5 ms";
        QTest::newRow("reset") << "T A40 E O Z T"
                               << "Tx 1  Rx 0  Exc 0  Err 0  T/O 0  last - ms  min - ms  avg - ms  max - ms";
    }
    void label()
    {
        QFETCH(QString, events);
        QFETCH(QString, label);
        ExchangeStats s;
        for (const QString &e : events.split(' ', Qt::SkipEmptyParts)) {
            switch (e[0].toLatin1()) {
            case 'T': s.requestWritten(); break;
            case 'A': s.answered(e.mid(1).toLongLong(), false); break;
            case 'X': s.answered(e.mid(1).toLongLong(), true); break;
            case 'E': s.error(); break;
            case 'O': s.timedOut(); break;
            case 'Z': s.reset(); break;
            }
        }
        QCOMPARE(QString::fromStdString(s.label()), label);
    }
};

QTEST_MAIN(TestExchangeStats)
#include "tst_exchange_stats.moc"
