// The simulate functions: their texts, their values on a fake clock, the
// 100 ms ticks, a master's write that stops an entry, and whole values under
// concurrent reads.
#include <QtTest>

#include <atomic>
#include <bit>
#include <cmath>
#include <mutex>
#include <set>
#include <thread>

#include "Simulation.h"
#include "Slave_test_util.h"

namespace {

// Conversions a map would supply: a 16-bit integer (clamped or wrapped) and a
// float in two registers, high word first.
SimEncode integer16(double lo, double hi)
{
    return [lo, hi](double v, SimRange range, uint16_t *words) {
        v = std::round(v);
        if (range == SimRange::Wrap)
            v = lo + std::fmod(std::fmod(v - lo, 65536.0) + 65536.0, 65536.0);
        words[0] = uint16_t(int32_t(std::clamp(v, lo, hi)));
    };
}

void float32(double v, SimRange, uint16_t *words)
{
    const uint32_t u = std::bit_cast<uint32_t>(float(v));
    words[0] = uint16_t(u >> 16);
    words[1] = uint16_t(u & 0xFFFF);
}

QString describe(const SimSpec &s)
{
    static const char *names[] = {"none", "ramp", "sine", "random", "step", "toggle", "time"};
    return QString("%1 %2 %3 %4 %5").arg(names[int(s.function)]).arg(s.min).arg(s.max).arg(s.period).arg(s.step);
}

SimEntry entry(int kind, uint32_t index, const char *text, double initial, SimEncode encode, unsigned count = 1)
{
    SimSpec shape;
    std::string error;
    if (!parse_simulation(text, shape, error))
        qFatal("%s", error.c_str());
    return {.kind = kind, .index = index, .count = count, .shape = shape, .initial = initial,
            .encode = std::move(encode)};
}

}  // namespace

class TestSimulation : public QObject {
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");  // describe() of the shape, or the error
        QTest::newRow("ramp") << "ramp(0, 100, 10)" << "ramp 0 100 10 0";
        QTest::newRow("blanks, case, signs") << " Sine( -5 ,+5,0.5 ) " << "sine -5 5 0.5 0";
        QTest::newRow("random") << "random(1e3, 2E3)" << "random 1000 2000 0 0";
        QTest::newRow("step") << "step(-2.5)" << "step 0 0 0 -2.5";
        QTest::newRow("toggle") << "toggle(0.1)" << "toggle 0 0 0.1 0";
        QTest::newRow("time") << "time" << "time 0 0 0 0";
        QTest::newRow("time()") << "TIME()" << "time 0 0 0 0";
        QTest::newRow("empty") << "  " << "none 0 0 0 0";
        QTest::newRow("sine short") << "sine(0, 100)" << "sine(0, 100): sine needs MIN, MAX and PERIOD";
        QTest::newRow("ramp bare") << "ramp" << "ramp: ramp needs MIN, MAX and PERIOD";
        QTest::newRow("random three") << "random(1, 2, 3)" << "random(1, 2, 3): random needs MIN and MAX";
        QTest::newRow("step none") << "step()" << "step(): step needs STEP";
        QTest::newRow("time value") << "time(5)" << "time(5): time takes no values";
        QTest::newRow("not a number") << "ramp(0, x, 10)" << "ramp(0, x, 10): \"x\" is not a number";
        QTest::newRow("empty value") << "ramp(0,,10)" << "ramp(0,,10): \"\" is not a number";
        QTest::newRow("nan") << "step(nan)" << "step(nan): \"nan\" is not a number";
        QTest::newRow("overflow") << "step(1e999)" << "step(1e999): \"1e999\" is not a number";
        QTest::newRow("hex") << "step(0x10)" << "step(0x10): \"0x10\" is not a number";
        QTest::newRow("period 0") << "toggle(0)" << "toggle(0): PERIOD must be at least 0.1 s";
        QTest::newRow("period negative") << "sine(0, 1, -2)" << "sine(0, 1, -2): PERIOD must be at least 0.1 s";
        QTest::newRow("unclosed") << "ramp(0, 1, 2" << "ramp(0, 1, 2: no closing parenthesis";
        QTest::newRow("after the parenthesis") << "ramp(0, 1, 2) x" << "ramp(0, 1, 2) x: text after the closing parenthesis";
        QTest::newRow("unknown") << "wave(1)"
                                 << "wave(1): unknown function \"wave\" (ramp, sine, random, step, toggle or time)";
        QTest::newRow("too long") << QString(kSimTextMax + 1, 'x') << "simulate text longer than 200 characters";
    }
    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        SimSpec shape;
        shape.step = 99;  // a refused text leaves it alone
        std::string error;
        const bool ok = parse_simulation(text.toStdString(), shape, error);
        QCOMPARE(ok ? describe(shape) : QString::fromStdString(error), expected);
        if (!ok)
            QCOMPARE(shape.step, 99.0);
    }

    void values_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("initial");
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<double>("uniform");
        QTest::addColumn<double>("value");
        QTest::newRow("ramp start") << "ramp(0, 100, 10)" << 0.0 << qint64(0) << 0.0 << 0.0;
        QTest::newRow("ramp quarter") << "ramp(0, 100, 10)" << 0.0 << qint64(2500) << 0.0 << 25.0;
        QTest::newRow("ramp end") << "ramp(0, 100, 10)" << 0.0 << qint64(9900) << 0.0 << 99.0;
        QTest::newRow("ramp again") << "ramp(0, 100, 10)" << 0.0 << qint64(12000) << 0.0 << 20.0;
        QTest::newRow("ramp falling") << "ramp(100, 0, 10)" << 0.0 << qint64(2500) << 0.0 << 75.0;
        QTest::newRow("ramp extreme") << "ramp(-1e308, 1e308, 1)" << 0.0 << qint64(500) << 0.0 << 0.0;
        QTest::newRow("sine middle") << "sine(0, 100, 4)" << 0.0 << qint64(0) << 0.0 << 50.0;
        QTest::newRow("sine top") << "sine(0, 100, 4)" << 0.0 << qint64(1000) << 0.0 << 100.0;
        QTest::newRow("sine bottom") << "sine(0, 100, 4)" << 0.0 << qint64(7000) << 0.0 << 0.0;
        QTest::newRow("random low") << "random(10, 20)" << 0.0 << qint64(0) << 0.0 << 10.0;
        QTest::newRow("random mid") << "random(10, 20)" << 0.0 << qint64(0) << 0.5 << 15.0;
        QTest::newRow("step before 1 s") << "step(2.5)" << 10.0 << qint64(999) << 0.0 << 10.0;
        QTest::newRow("step 1 s") << "step(2.5)" << 10.0 << qint64(1000) << 0.0 << 12.5;
        QTest::newRow("step 3.5 s") << "step(2.5)" << 10.0 << qint64(3500) << 0.0 << 17.5;
        QTest::newRow("toggle first") << "toggle(2)" << 0.0 << qint64(1900) << 0.0 << 0.0;
        QTest::newRow("toggle flipped") << "toggle(2)" << 0.0 << qint64(2000) << 0.0 << 1.0;
        QTest::newRow("toggle back") << "toggle(2)" << 0.0 << qint64(4000) << 0.0 << 0.0;
        QTest::newRow("toggle from on") << "toggle(2)" << 1.0 << qint64(2000) << 0.0 << 0.0;
        QTest::newRow("time") << "time" << 0.0 << qint64(5000) << 0.0 << 1700000000.0;
    }
    void values()
    {
        QFETCH(QString, text);
        QFETCH(double, initial);
        QFETCH(qint64, ms);
        QFETCH(double, uniform);
        QFETCH(double, value);
        SimSpec shape;
        std::string error;
        QVERIFY(parse_simulation(text.toStdString(), shape, error));
        const double got = simulation_value(shape, initial, ms, 1700000000, uniform);
        QVERIFY2(std::abs(got - value) < 1e-9, qPrintable(QString::number(got)));
    }

    // 100 ms ticks from the first call; only changed words are handed back;
    // a written entry stops until restart; a tick is applied whole.
    void ticks()
    {
        Simulation sim(1);
        QVERIFY(sim.add(entry(KindHoldingRegister, 10, "ramp(0, 100, 1)", 0, integer16(-32768, 32767))));
        QVERIFY(sim.add(entry(KindCoil, 3, "toggle(0.2)", 0, {})));
        QVERIFY(sim.add(entry(KindHoldingRegister, 20, "step(1)", 65534, integer16(0, 65535))));
        QVERIFY(sim.add(entry(KindInputRegister, 30, "sine(-40000, 40000, 1)", 0, integer16(-32768, 32767))));
        QVERIFY(sim.add(entry(KindHoldingRegister, 40, "ramp(0, 1, 1)", 0, float32, 2)));
        QVERIFY(!sim.add(entry(KindHoldingRegister, 50, "toggle(1)", 0, integer16(0, 1))));
        QVERIFY(!sim.add(entry(KindCoil, 50, "time", 0, {})));
        QVERIFY(!sim.add(entry(KindHoldingRegister, 50, "", 0, integer16(0, 1))));
        QVERIFY(!sim.add(entry(KindHoldingRegister, 50, "time", 0, float32, 5)));
        QVERIFY(!sim.add(entry(KindHoldingRegister, 50, "time", 0, {})));

        auto entries = [](const std::vector<SimUpdate> &u) {
            QList<int> out;
            for (const SimUpdate &x : u)
                out << int(x.entry);
            return out;
        };
        SlaveTables t;
        auto tick = [&](int64_t ms) {
            const std::vector<SimUpdate> u = sim.tick({.ms = ms, .unixSeconds = 0});
            apply_simulation(t, u);
            return entries(u);
        };
        QCOMPARE(tick(5000), (QList<int>{0, 1, 2, 3, 4}));
        QCOMPARE(checkTables(t, "H10=0;H20=FFFE;I30=0;H40=0;H41=0"), QString());
        QCOMPARE(tick(5099), QList<int>());  // same tick
        QCOMPARE(tick(5100), (QList<int>{0, 3, 4}));
        QCOMPARE(checkTables(t, "H10=000A"), QString());
        QCOMPARE(tick(5250), (QList<int>{0, 1, 3, 4}));  // 200 ms: the toggle flips, the sine tops
        QCOMPARE(checkTables(t, "C3;H10=0014;I30=7FFF;H40=3E4C;H41=CCCD"), QString());
        QCOMPARE(tick(4000), QList<int>());  // a clock that steps back holds the values
        tick(7000);                         // two seconds: step wraps at the format's range
        QCOMPARE(checkTables(t, "H20=0"), QString());

        sim.written(KindHoldingRegister, 41);  // the float's second word
        sim.written(KindHoldingRegister, 21);  // beside the step, not in it
        sim.written(KindInputRegister, 10);    // another table
        QVERIFY(!sim.running(4));
        QVERIFY(sim.running(0) && sim.running(2));
        QVERIFY(!entries(sim.tick({.ms = 7300, .unixSeconds = 0})).contains(4));

        sim.restart();
        QCOMPARE(tick(9000), (QList<int>{0, 1, 2, 3, 4}));
        QCOMPARE(checkTables(t, "H10=0;H20=FFFE;H40=0;H41=0"), QString());
    }

    // A reader serving code 3 under the writer's lock only ever reads a float
    // the ramp produced, never one made of two halves.
    void wholeValues()
    {
        const char *ramp = "ramp(-1000, 1000, 0.7)";
        std::set<uint32_t> produced;
        {
            Simulation sim(1);
            QVERIFY(sim.add(entry(KindHoldingRegister, 0, ramp, 0, float32, 2)));
            for (int64_t ms = 0; ms < 1000; ms += kSimTickMs)
                for (const SimUpdate &u : sim.tick({.ms = ms, .unixSeconds = 0}))
                    produced.insert(uint32_t(u.words[0]) << 16 | u.words[1]);
        }
        QCOMPARE(produced.size(), size_t(7));

        Simulation sim(1);
        QVERIFY(sim.add(entry(KindHoldingRegister, 0, ramp, 0, float32, 2)));
        SlaveTables t;
        std::mutex lock;
        constexpr int kReads = 20000;
        std::atomic<int> reads{0};
        // The writer ticks for as long as the reader reads (and at most a
        // million ticks), so that the two interleave.
        std::thread writer([&] {
            for (int64_t ms = 0; reads < kReads && ms < 1000000 * kSimTickMs; ms += kSimTickMs) {
                const std::vector<SimUpdate> u = sim.tick({.ms = ms, .unixSeconds = 0});
                std::lock_guard<std::mutex> hold(lock);
                apply_simulation(t, u);
            }
        });
        const QByteArray read = hexBytes("0103000000 02C40B");
        int torn = 0;
        for (; reads < kReads; ++reads) {
            SlaveReply r;
            {
                std::lock_guard<std::mutex> hold(lock);
                r = serveBytes(kSlaveRtuProfile, t, read);
            }
            const std::vector<uint8_t> &b = r.response;
            const uint32_t v = uint32_t(b[3]) << 24 | uint32_t(b[4]) << 16 | uint32_t(b[5]) << 8 | b[6];
            if (v != 0 && !produced.count(v))
                ++torn;
        }
        writer.join();
        QCOMPARE(torn, 0);
    }
};

QTEST_GUILESS_MAIN(TestSimulation)
#include "tst_simulation.moc"
