// Requests out of an RTU-over-TCP byte stream: complete at their expected
// length with a right CRC, CRC errors, the 1 s limit on an unfinished
// request, and how garbage is dropped so the stream finds its feet again.
#include <QtTest>

#include "Rtu_stream.h"
#include "corvane.h"

namespace {

QByteArray withCrc(const char *hex)
{
    QByteArray b = QByteArray::fromHex(hex);
    uint8_t crc[2];
    CRC_check(reinterpret_cast<const uint8_t *>(b.constData()), int32_t(b.size()), crc);
    return b + QByteArray(reinterpret_cast<const char *>(crc), 2);
}

const QByteArray kRead = withCrc("010300000002");               // 8 bytes
const QByteArray kWrite = withCrc("0110000A000204000A0102");     // 13 bytes
const QByteArray kFileRead = withCrc("01140706000100000002");   // code 20: no known layout, 12 bytes

QByteArray spoilt(QByteArray b)
{
    b[b.size() - 1] = char(b[b.size() - 1] ^ 0xFF);
    return b;
}

// One arrival: bytes at a time (ms); no bytes: only the time passes.
struct Arrival {
    int64_t atMs;
    QByteArray bytes;
};

QString outcome_text(const RtuStream::Outcome &o)
{
    switch (o.kind) {
    case RtuStream::Kind::Need_more: return "wait";
    case RtuStream::Kind::Request: return QString("request %1").arg(o.n);
    case RtuStream::Kind::Crc_error: return QString("crc %1 drop %2").arg(o.n).arg(o.dropped);
    case RtuStream::Kind::Garbage: return QString("garbage %1").arg(o.n);
    case RtuStream::Kind::Timed_out: return QString("timeout %1").arg(o.n);
    }
    return {};
}

// Every outcome but the waits, in order; what is held at the end as "held N".
QString run(const QList<Arrival> &arrivals)
{
    RtuStream rx;
    QStringList out;
    for (const Arrival &a : arrivals) {
        const auto *p = reinterpret_cast<const uint8_t *>(a.bytes.constData());
        size_t at = 0;
        do {
            at += rx.append(p + at, size_t(a.bytes.size()) - at, a.atMs);
            for (RtuStream::Outcome o = rx.next(a.atMs); o.kind != RtuStream::Kind::Need_more; o = rx.next(a.atMs))
                out << outcome_text(o);
        } while (at < size_t(a.bytes.size()));
    }
    if (rx.buffered())
        out << QString("held %1").arg(rx.buffered());
    return out.join(", ");
}

}  // namespace

Q_DECLARE_METATYPE(QList<Arrival>)

class TestRtuStream : public QObject {
    Q_OBJECT
private slots:
    void anyChunking()
    {
        const QByteArray stream = kRead + kWrite + kFileRead;
        for (int chunk = 1; chunk <= stream.size(); ++chunk) {
            QList<Arrival> arrivals;
            for (int i = 0; i < stream.size(); i += chunk)
                arrivals.append({.atMs = i, .bytes = stream.mid(i, chunk)});
            QCOMPARE(run(arrivals), QString("request 8, request 13, request 12"));
        }
    }

    void stream_data()
    {
        QTest::addColumn<QList<Arrival>>("arrivals");
        QTest::addColumn<QString>("outcomes");
        QTest::newRow("wrong CRC: reported, its bytes dropped")
            << QList<Arrival>{{.atMs = 0, .bytes = spoilt(kRead)}} << "crc 8 drop 8";
        QTest::newRow("wrong CRC, then a request in the same segment")
            << QList<Arrival>{{.atMs = 0, .bytes = spoilt(kRead) + kWrite}} << "crc 8 drop 8, request 13";
        QTest::newRow("a stray byte in front costs only itself")
            << QList<Arrival>{{.atMs = 0, .bytes = QByteArray::fromHex("00") + kRead}} << "crc 8 drop 1, request 8";
        QTest::newRow("no request starts with the exception bit")
            << QList<Arrival>{{.atMs = 0, .bytes = QByteArray::fromHex("0183FFFF") + kRead}} << "garbage 4, request 8";
        QTest::newRow("garbage with nothing after it goes whole")
            << QList<Arrival>{{.atMs = 0, .bytes = QByteArray::fromHex("0183FFFF0102")}} << "garbage 6";
        QTest::newRow("an unknown code without a CRC in 256 bytes: all dropped")
            << QList<Arrival>{{.atMs = 0, .bytes = QByteArray(300, '\0')}} << "garbage 300";
        QTest::newRow("unfinished: held until 1 s after its first byte, then dropped")
            << QList<Arrival>{{.atMs = 0, .bytes = kRead.left(3)},
                              {.atMs = 600, .bytes = kRead.mid(3, 2)},
                              {.atMs = 999, .bytes = {}},
                              {.atMs = 1000, .bytes = {}},
                              {.atMs = 1001, .bytes = kRead}}
            << "timeout 5, request 8";
        QTest::newRow("the limit counts from the end of the request before")
            << QList<Arrival>{{.atMs = 0, .bytes = kRead.left(4)},
                              {.atMs = 900, .bytes = kRead.mid(4) + kWrite.left(4)},
                              {.atMs = 1000, .bytes = {}},
                              {.atMs = 1899, .bytes = {}},
                              {.atMs = 1900, .bytes = {}}}
            << "request 8, timeout 4";
        QTest::newRow("unknown code behind garbage waits for a CRC")
            << QList<Arrival>{{.atMs = 0, .bytes = QByteArray::fromHex("0000")},
                              {.atMs = 1000, .bytes = {}}}
            << "timeout 2";
    }
    void stream()
    {
        QFETCH(QList<Arrival>, arrivals);
        QFETCH(QString, outcomes);
        QCOMPARE(run(arrivals), outcomes);
    }

    void boundedHold()
    {
        // A client that sends faster than it is served is held to the bound.
        RtuStream rx;
        const QByteArray many = kRead.repeated(200);
        const size_t taken = rx.append(reinterpret_cast<const uint8_t *>(many.constData()), size_t(many.size()), 0);
        QCOMPARE(taken, RtuStream::kCapacity);
        QCOMPARE(rx.room(), size_t(0));
        QCOMPARE(rx.next(0).kind, RtuStream::Kind::Request);
        QCOMPARE(rx.room(), size_t(8));
    }
};

QTEST_GUILESS_MAIN(TestRtuStream)
#include "tst_rtu_stream.moc"
