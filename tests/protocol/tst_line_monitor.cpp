// The passive line monitor: frames found in byte streams however they are
// chunked and timed, roles and pairing, its counters, the tables an answer
// mirrors, and the RTU layouts it splits by.
#include <QtTest>

#include <random>

#include "Line_mirror.h"
#include "Line_monitor.h"
#include "Rtu_layout.h"
#include "corvane.h"

namespace {

constexpr int64_t kSilenceGapUs = 10000;  // '|': well above 3.5 characters at 9600 baud
constexpr int64_t kBurstGapUs = 100;      // '+': well below

struct Chunk {
    int64_t at;
    QByteArray bytes;
};

// RTU: hexadecimal bytes; '*' appends the CRC of the bytes since the last
// '*', '!' or '.', '!' a wrong CRC, '.' only starts the next frame. '|' and
// '+' start a new chunk after a silence or right away. ASCII: the text as it
// is, with '|' and '+' likewise.
std::vector<Chunk> stream(const QString &script, bool ascii)
{
    std::vector<Chunk> out{{0, {}}};
    QByteArray frame;
    QString digits;
    for (const QChar c : script) {
        if (c == '|' || c == '+') {
            out.push_back({out.back().at + (c == '|' ? kSilenceGapUs : kBurstGapUs), {}});
        } else if (ascii) {
            out.back().bytes += c.toLatin1();
        } else if (c == '*' || c == '!') {
            uint8_t crc[2];
            CRC_check(reinterpret_cast<const uint8_t *>(frame.constData()), int32_t(frame.size()), crc);
            const uint8_t flip = c == '!' ? 0xFF : 0;
            out.back().bytes += char(crc[0] ^ flip);
            out.back().bytes += char(crc[1] ^ flip);
            frame.clear();
        } else if (c == '.') {
            frame.clear();
        } else if (isxdigit(c.toLatin1())) {
            digits += c;
            if (digits.size() == 2) {
                const char b = char(digits.toUInt(nullptr, 16));
                out.back().bytes += b;
                frame += b;
                digits.clear();
            }
        }
    }
    return out;
}

QByteArray joined(const QString &script, bool ascii)
{
    QByteArray all;
    for (const Chunk &c : stream(script, ascii))
        all += c.bytes;
    return all;
}

// "R 0103...", "A 0103... @1" (paired with frame 1), "U ..." (checksum
// failed), "N 3" (noise bytes). ASCII frames as their text without CR LF.
QStringList heard(const QString &script, bool ascii)
{
    QStringList got;
    Line_monitor monitor(
        {.framing = ascii ? Line_framing::Ascii : Line_framing::Rtu, .baud = 9600, .bits_per_char = 10},
        [&](const Monitor_frame &f) {
            const QByteArray b(reinterpret_cast<const char *>(f.bytes.data()), qsizetype(f.bytes.size()));
            QString line = QString(QString("RAU")[int(f.role)]) + ' ' + (ascii ? QString(b).trimmed() : b.toHex().toUpper());
            if (f.request_number)
                line += QString(" @%1").arg(f.request_number);
            got << line;
        },
        [&](const Monitor_noise &n) { got << QString("N %1").arg(n.bytes.size()); });
    int64_t last = 0;
    for (const Chunk &c : stream(script, ascii)) {
        monitor.feed(reinterpret_cast<const uint8_t *>(c.bytes.constData()), size_t(c.bytes.size()), c.at);
        last = c.at;
    }
    monitor.idle(last + kAsciiHoldUs + kRtuHoldUs);  // long enough for anything held
    return got;
}

// The expected lines with their RTU scripts written out as bytes.
QStringList expanded(const QStringList &lines, bool ascii)
{
    QStringList out;
    for (const QString &l : lines) {
        if (ascii || l.startsWith("N ")) {
            out << l;
            continue;
        }
        const QString script = l.mid(2).section(" @", 0, 0);
        const QString pair = l.contains(" @") ? " @" + l.section(" @", 1) : QString();
        out << l.left(2) + joined(script, false).toHex().toUpper() + pair;
    }
    return out;
}

Monitor_counters counted(const QString &script)
{
    Line_monitor monitor({.framing = Line_framing::Rtu, .baud = 9600, .bits_per_char = 10});
    for (const Chunk &c : stream(script, false))
        monitor.feed(reinterpret_cast<const uint8_t *>(c.bytes.constData()), size_t(c.bytes.size()), c.at);
    monitor.flush();
    return monitor.counters();
}

Pdu_fields fields(const QString &hex, bool answer)
{
    const QByteArray b = QByteArray::fromHex(hex.toLatin1());
    return decode_pdu(reinterpret_cast<const uint8_t *>(b.constData()), size_t(b.size()), answer);
}

}  // namespace

class TestLineMonitor : public QObject {
    Q_OBJECT
private slots:
    void rtuLayouts_data();
    void rtuLayouts();
    void splitsRtu_data();
    void splitsRtu();
    void splitsAscii_data();
    void splitsAscii();
    void sameFramesInAnyChunking();
    void counts_data();
    void counts();
    void responseTimeFromRequestToAnswer();
    void boundedOnEndlessNoise();
    void mirrors_data();
    void mirrors();
};

void TestLineMonitor::rtuLayouts_data()
{
    QTest::addColumn<QString>("leading");
    QTest::addColumn<bool>("answer");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("bytes");
    const int known = Rtu_length::Known, more = Rtu_length::Need_more, unknown = Rtu_length::Unknown,
              none = Rtu_length::None;
    QTest::newRow("read request") << "0103" << false << known << 8;
    QTest::newRow("read answer, count not yet") << "0103" << true << more << 3;
    QTest::newRow("read answer") << "010304" << true << known << 9;
    QTest::newRow("odd register count") << "010303" << true << none << 0;
    QTest::newRow("coils answer, odd count") << "010103" << true << known << 8;
    QTest::newRow("write registers request") << "011000000002" << false << more << 7;
    QTest::newRow("write registers request, count") << "01100000000204" << false << known << 13;
    QTest::newRow("write registers answer") << "0110" << true << known << 8;
    QTest::newRow("exception status") << "0107" << false << known << 4;
    QTest::newRow("exception status answer") << "0107" << true << known << 5;
    QTest::newRow("diagnostics echo") << "01080000" << true << known << 8;
    QTest::newRow("comm event counter answer") << "010B" << true << known << 8;
    QTest::newRow("report server id answer") << "011103" << true << known << 8;
    QTest::newRow("mask write") << "0116" << false << known << 10;
    QTest::newRow("read/write request") << "011700000002000100020" "4" << false << known << 17;
    QTest::newRow("read/write answer") << "011704" << true << known << 9;
    QTest::newRow("device id request") << "012B0E" << false << known << 7;
    QTest::newRow("device id answer, 2 objects") << "012B0E0101000002" "0003414243" "0102" "5859" << true
                                                 << known << 19;
    QTest::newRow("device id answer, objects to come") << "012B0E0101000002" "000341" << true << more << 15;
    QTest::newRow("other MEI type") << "012B0D" << false << unknown << 0;
    QTest::newRow("exception") << "0183" << true << known << 5;
    QTest::newRow("request with the exception bit") << "0183" << false << none << 0;
    QTest::newRow("code without a layout") << "0114" << false << unknown << 0;
    QTest::newRow("longer than a frame") << "01100000007BFF" << false << none << 0;
}

void TestLineMonitor::rtuLayouts()
{
    QFETCH(QString, leading);
    QFETCH(bool, answer);
    QFETCH(int, kind);
    QFETCH(int, bytes);
    const QByteArray b = QByteArray::fromHex(leading.toLatin1());
    const auto *p = reinterpret_cast<const uint8_t *>(b.constData());
    const Rtu_length l = answer ? rtu_length_as_answer(p, size_t(b.size())) : rtu_length_as_request(p, size_t(b.size()));
    QCOMPARE(int(l.kind), kind);
    QCOMPARE(l.bytes, bytes);
}

void TestLineMonitor::splitsRtu_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("frames");
    const QString rq = "010300000002*", an = "0103040 00A000B*";
    QTest::newRow("request | answer") << rq + "|" + an << QStringList{"R " + rq, "A " + an + " @1"};
    QTest::newRow("one burst") << rq + "." + an << QStringList{"R " + rq, "A " + an + " @1"};
    QTest::newRow("frame in two pieces across a silence")
        << "010300|000002*|" + an << QStringList{"R " + rq, "A " + an + " @1"};
    QTest::newRow("noise before a frame") << "FFFE." + rq << QStringList{"N 2", "R " + rq};
    QTest::newRow("noise between frames, one burst")
        << rq + ".FFFF00." + an << QStringList{"R " + rq, "N 3", "A " + an + " @1"};
    QTest::newRow("fragment closed by a silence") << "0103|." + rq << QStringList{"N 2", "R " + rq};
    QTest::newRow("exception") << rq + "|018302*" << QStringList{"R " + rq, "A 018302* @1"};
    QTest::newRow("CRC error, then a silence") << "010300000002!|" + rq << QStringList{"U 010300000002!", "R " + rq};
    QTest::newRow("CRC error in a burst") << "010300000002!." + rq << QStringList{"U 010300000002!", "R " + rq};
    QTest::newRow("write echo") << "010600010003*+010600010003*"
                                << QStringList{"R 010600010003*", "A 010600010003* @1"};
    QTest::newRow("write registers, burst") << "01100000000204000A000B*.011000000002*"
                                            << QStringList{"R 01100000000204000A000B*", "A 011000000002* @1"};
    QTest::newRow("code without a layout: silences") << "0114010203*|01140405*" << QStringList{"R 0114010203*", "A 01140405* @1"};
    QTest::newRow("answer of another unit") << rq + "|0203020001*" << QStringList{"R " + rq, "A 0203020001*"};
    QTest::newRow("frame cut short by a silence") << "01030000|" << QStringList{"U 01030000"};
    // The answer's first 8 bytes end in the CRC a request of them would have.
    QTest::newRow("answer whose start fits a request") << "03020 2FA001E*|.030204C9EE00E546+00"
                                                       << QStringList{"R 030202FA001E*", "A 030204C9EE00E5* @1"};
}

void TestLineMonitor::splitsRtu()
{
    QFETCH(QString, script);
    QFETCH(QStringList, frames);
    QCOMPARE(heard(script, false), expanded(frames, false));
}

void TestLineMonitor::splitsAscii_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("frames");
    const QString rq = ":010300000002FA", an = ":010304000A000BE3";
    QTest::newRow("request and answer, noise before") << "xx" + rq + "\r\n|" + an + "\r\n"
                                                    << QStringList{"N 2", "R " + rq, "A " + an + " @1"};
    QTest::newRow("one burst, any chunks") << rq + "\r+\n" + an.left(5) + "+" + an.mid(5) + "\r\n"
                                           << QStringList{"R " + rq, "A " + an + " @1"};
    QTest::newRow("bad LRC") << ":010300000002FB\r\n" << QStringList{"U :010300000002FB"};
    QTest::newRow("no CR") << rq + "\n" << QStringList{"U " + rq};
    QTest::newRow("not hexadecimal") << ":0103000000G2FA\r\n" << QStringList{"U :0103000000G2FA"};
    QTest::newRow("cut short by the next colon") << ":0103" + rq + "\r\n" << QStringList{"N 5", "R " + rq};
    QTest::newRow("never ended") << ":0103000" << QStringList{"N 8"};
}

void TestLineMonitor::splitsAscii()
{
    QFETCH(QString, script);
    QFETCH(QStringList, frames);
    QCOMPARE(heard(script, true), expanded(frames, true));
}

void TestLineMonitor::sameFramesInAnyChunking()
{
    // Requests and answers back to back with no silence at all, as a USB
    // adapter delivers them: every chunking finds the same frames.
    const QByteArray all = joined("010300000002*.0103040 00A000B*.0183 02*.01100000000204000A000B*.011000000002*."
                                  "0101000A0003*.0101020501*.0106000100FF*.0106000100FF*",
                                  false);
    QStringList once;
    for (int chunk = 1; chunk <= all.size(); ++chunk) {
        QStringList got;
        Line_monitor monitor({.framing = Line_framing::Rtu, .baud = 115200, .bits_per_char = 10},
                             [&](const Monitor_frame &f) {
                                 got << QString("%1 %2 %3").arg(int(f.role)).arg(f.bytes.size()).arg(f.request_number);
                             },
                             [&](const Monitor_noise &) { got << "noise"; });
        for (int i = 0; i < all.size(); i += chunk)
            monitor.feed(reinterpret_cast<const uint8_t *>(all.constData()) + i, size_t(qMin(chunk, int(all.size()) - i)),
                         0);
        QCOMPARE(got.size(), 9);
        if (once.isEmpty())
            once = got;
        QCOMPARE(got, once);
    }
    QCOMPARE(once.join(','), QString("0 8 0,1 9 1,1 5 0,0 13 0,1 8 4,0 8 0,1 7 6,0 8 0,1 8 8"));
}

void TestLineMonitor::counts_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("label");
    const QString rq = "010300000002*|", an = "0103040 00A000B*|";
    QTest::newRow("answered, exception, unanswered")
        << rq + an + rq + rq + "018302*|" << "Req 3  Ans 2  Exc 1  Err 0  Unans 1  Noise 0";
    QTest::newRow("broadcast expects no answer") << "000600010003*|" + rq + an << "Req 2  Ans 1  Exc 0  Err 0  Unans 0  Noise 0";
    QTest::newRow("a bad answer answers nothing")
        << rq + "0103040 00A000B!|" + rq + an << "Req 2  Ans 1  Exc 0  Err 1  Unans 1  Noise 0";
    QTest::newRow("another unit's answer answers nothing")
        << rq + "0203040 00A000B*|" + rq << "Req 2  Ans 1  Exc 0  Err 0  Unans 1  Noise 0";
    QTest::newRow("noise") << "FFFE.010300000002*|03" << "Req 1  Ans 0  Exc 0  Err 0  Unans 0  Noise 3";
}

void TestLineMonitor::counts()
{
    QFETCH(QString, script);
    QFETCH(QString, label);
    QCOMPARE(QString::fromStdString(counted(script).label()), label);
}

void TestLineMonitor::responseTimeFromRequestToAnswer()
{
    std::vector<Monitor_frame> frames;
    Line_monitor monitor({}, [&](const Monitor_frame &f) { frames.push_back(f); });
    for (const Chunk &c : stream("010300+000002*|0103040 00A000B*", false))
        monitor.feed(reinterpret_cast<const uint8_t *>(c.bytes.constData()), size_t(c.bytes.size()), 5000 + c.at);
    QCOMPARE(frames.size(), size_t(2));
    QCOMPARE(frames[0].time_us, int64_t(5000));
    QCOMPARE(frames[0].end_us, int64_t(5000 + kBurstGapUs));
    QCOMPARE(frames[1].response_us, kSilenceGapUs);
    QCOMPARE(frames[1].request.address, 0);
    QCOMPARE(frames[1].request.count, 2);
}

void TestLineMonitor::boundedOnEndlessNoise()
{
    std::mt19937 random(7);
    Line_monitor monitor({.framing = Line_framing::Rtu, .baud = 115200, .bits_per_char = 10});
    size_t fed = 0, framed = 0, most = 0;
    Line_monitor counting({.framing = Line_framing::Rtu, .baud = 115200, .bits_per_char = 10},
                          [&](const Monitor_frame &f) { framed += f.bytes.size(); });
    uint8_t chunk[64];
    for (int i = 0; i < 20000; ++i) {
        const size_t n = 1 + random() % 64;
        for (size_t k = 0; k < n; ++k)
            chunk[k] = uint8_t(random());
        counting.feed(chunk, n, 0);
        fed += n;
        most = std::max(most, counting.buffered());
    }
    QVERIFY(most <= size_t(2 * kRtuMaxFrame));
    counting.flush();
    QCOMPARE(counting.buffered(), size_t(0));
    QCOMPARE(counting.counters().noise + framed, uint64_t(fed));  // every byte accounted for once
}

void TestLineMonitor::mirrors_data()
{
    QTest::addColumn<QString>("request");  // unit and PDU, hexadecimal
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("writes");  // "table address: values", tables C D I H
    QTest::newRow("holding registers read") << "0103000A0002" << "010304000A000B" << QStringList{"H 10: 10 11"};
    QTest::newRow("input registers read") << "01040000 0001" << "01040200FF" << QStringList{"I 0: 255"};
    QTest::newRow("coils read, 10 of 16 bits") << "010100050 00A" << "0101020503" << QStringList{"C 5: 1 0 1 0 0 0 0 0 1 1"};
    QTest::newRow("discrete inputs read") << "010200000002" << "01020102" << QStringList{"D 0: 0 1"};
    QTest::newRow("coil written") << "01050003FF00" << "01050003FF00" << QStringList{"C 3: 1"};
    QTest::newRow("register written") << "010600040 1C8" << "0106000401C8" << QStringList{"H 4: 456"};
    QTest::newRow("coils written") << "010F00000003 0105" << "010F00000003" << QStringList{"C 0: 1 0 1"};
    QTest::newRow("registers written") << "011000020002 0400010002" << "011000020002" << QStringList{"H 2: 1 2"};
    QTest::newRow("read/write: written, then read")
        << "01170000000200010001020007" << "011704 0007 0008" << QStringList{"H 1: 7", "H 0: 7 8"};
    QTest::newRow("exception") << "0103000A0002" << "018302" << QStringList{};
    QTest::newRow("byte count disagrees") << "0103000A0002" << "010302000A" << QStringList{};
    QTest::newRow("echo differs") << "010600040 1C8" << "0106000401C9" << QStringList{};
    QTest::newRow("another unit") << "0103000A0002" << "020304000A000B" << QStringList{};
    QTest::newRow("last address, no wrap") << "0110FFFF0002 0400010002" << "0110FFFF0002" << QStringList{"H 65535: 1"};
}

void TestLineMonitor::mirrors()
{
    QFETCH(QString, request);
    QFETCH(QString, answer);
    QFETCH(QStringList, writes);
    QStringList got;
    for (const Mirror_write &w : mirror_writes(fields(request.remove(' '), false), fields(answer.remove(' '), true))) {
        QString line = QString(QString("CDIH")[int(w.table)]) + QString(" %1:").arg(w.address);
        for (uint16_t v : w.values)
            line += QString(" %1").arg(v);
        QCOMPARE(int(w.unit), 1);
        got << line;
    }
    QCOMPARE(got, writes);
}

QTEST_APPLESS_MAIN(TestLineMonitor)
#include "tst_line_monitor.moc"
