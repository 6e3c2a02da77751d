// An answer judged against its request: whatever shape it has, it is taken
// only when it is the request's own answer, and read only within its bytes.
#include <QtTest>

#include "Answer_check.h"

namespace {
Frame_pdu pdu(uint8_t unit, const QString &spaced)
{
    const QByteArray b = QByteArray::fromHex(spaced.toLatin1());
    return {unit, std::vector<uint8_t>(b.begin(), b.end())};
}
}  // namespace

class TestAnswerCheck : public QObject {
    Q_OBJECT
private slots:
    void judge_data()
    {
        QTest::addColumn<QString>("request");  // PDU, unit 1
        QTest::addColumn<uint>("unit");        // the answer's
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("verdict");  // ok, exception NN, or what the "bad" reason holds
        QTest::newRow("registers") << "03 00 00 00 02" << 1u << "03 04 00 01 00 02" << "ok";
        QTest::newRow("another unit") << "03 00 00 00 02" << 2u << "03 04 00 01 00 02" << "unit 2";
        QTest::newRow("exception") << "03 00 00 00 02" << 1u << "83 02" << "exception 2";
        QTest::newRow("exception of 3 bytes") << "03 00 00 00 02" << 1u << "83 02 00" << "answer of 4 bytes";
        QTest::newRow("another code") << "03 00 00 00 02" << 1u << "04 04 00 01 00 02" << "function code 4";
        QTest::newRow("byte count past the end") << "03 00 00 00 02" << 1u << "03 04 00 01" << "byte count 4, 2";
        QTest::newRow("fewer registers than asked") << "03 00 00 00 02" << 1u << "03 02 00 01" << "2, 4 expected";
        QTest::newRow("no byte count") << "03 00 00 00 02" << 1u << "03" << "no byte count";
        QTest::newRow("10 coils") << "01 00 13 00 0A" << 1u << "01 02 CD 01" << "ok";
        QTest::newRow("10 coils in one byte") << "01 00 13 00 0A" << 1u << "01 01 CD" << "1, 2 expected";
        QTest::newRow("single write echo") << "06 00 01 00 03" << 1u << "06 00 01 00 03" << "ok";
        QTest::newRow("echo of another value") << "06 00 01 00 03" << 1u << "06 00 01 00 04" << "does not repeat";
        QTest::newRow("block write echo") << "10 00 01 00 02 04 00 0A 01 02" << 1u << "10 00 01 00 02" << "ok";
        QTest::newRow("mask write echo") << "16 00 04 00 F2 00 25" << 1u << "16 00 04 00 F2 00 25" << "ok";
        QTest::newRow("read-write") << "17 00 03 00 01 00 0E 00 01 02 00 FF" << 1u << "17 02 00 FE" << "ok";
        QTest::newRow("report id") << "11" << 1u << "11 03 01 FF 41" << "ok";
        QTest::newRow("report id past the end") << "11" << 1u << "11 09 01 FF" << "byte count 9";
        QTest::newRow("identity") << "2B 0E 01 00" << 1u << "2B 0E 01 01 00 00 02 00 01 41 01 02 42 43" << "ok";
        QTest::newRow("identity object past the end") << "2B 0E 01 00" << 1u << "2B 0E 01 01 00 00 01 00 09 41"
                                                       << "overrun";
        QTest::newRow("empty answer") << "03 00 00 00 02" << 1u << "" << "no function code";
    }
    void judge()
    {
        QFETCH(QString, request);
        QFETCH(uint, unit);
        QFETCH(QString, answer);
        QFETCH(QString, verdict);
        const Answer_verdict v = judge_answer(pdu(1, request), pdu(uint8_t(unit), answer));
        if (verdict == "ok")
            QCOMPARE(v.kind, Answer_verdict::Ok);
        else if (verdict.startsWith("exception "))
            QVERIFY(v.kind == Answer_verdict::Exception && v.exception == verdict.mid(10).toUInt());
        else
            QVERIFY2(v.kind == Answer_verdict::Bad && QString::fromStdString(v.why).contains(verdict),
                     v.why.c_str());
    }

    // ASCII frames are taken apart only when every pair is hexadecimal.
    void asciiFrames_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("pdu");  // empty: refused
        QTest::newRow("read answer") << ":0103020007F3\r\n" << "03 02 00 07";
        QTest::newRow("a pair that is no hexadecimal") << ":01030200G7F3\r\n" << "";
        QTest::newRow("an odd number of characters") << ":0103020007F\r\n" << "";
        QTest::newRow("too short for a code") << ":01F\r\n" << "";
    }
    void asciiFrames()
    {
        QFETCH(QString, frame);
        QFETCH(QString, pdu);
        const QByteArray f = frame.toLatin1();
        Frame_pdu out;
        const bool ok = ascii_frame_pdu(f.constData(), int32_t(f.size()), out);
        QCOMPARE(ok, !pdu.isEmpty());
        if (ok)
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(out.pdu.data()), int(out.pdu.size())),
                     QByteArray::fromHex(pdu.toLatin1()));
    }
};

QTEST_APPLESS_MAIN(TestAnswerCheck)
#include "tst_answer_check.moc"
