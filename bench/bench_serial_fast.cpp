// Fast receive against the 10 ms tick and a libmodbus master: a 10-register
// read of holding registers, RTU and ASCII, over a socat pty pair at 9600 and
// 115200 baud. The peer is a slave of this program's own on the far end of the
// pair, in a thread: it starts its answer 20 ms after a request is complete
// and hands the whole frame over when its last character would have left a
// real line (10 bits a character), as a USB adapter does with a short frame.
// (Writing character by character at the line's pace would measure this
// machine's scheduler: on a loaded machine the peer thread itself leaves
// gaps longer than the RTU silence.)
//
// Measured: median time from "Send command" to the grid showing the last
// register (the station windows), and the time of modbus_read_registers
// (libmodbus, RTU only; its figure stands beside the ASCII rows too).
//
// Prediction for the tick (Fast off), from the stations' timing rules:
//   RTU:   grid filled at 10 ms x (k1 + n + 10), n = 25 answer bytes
//          (one byte a tick, then 100 ms of silence and one tick to check);
//   ASCII: grid filled at 10 ms x (k1 + n), n = 51 characters (one a tick,
//          the LF ends the line, one tick to check);
//   k1 = the first tick once the answer is on the line, at least 2, from the
//   peer's measured answer start of the same run.
// Goal for Fast on: at most the libmodbus time + 5 ms; for ASCII, whose frame
// holds 26 characters more than the RTU one libmodbus reads, the libmodbus
// time plus those characters' line time + 5 ms.
//
//   bench_serial_fast [--runs N]   (default 9 exchanges per row, medians;
//                                   BENCH_TRACE=1 prints every exchange)
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Bench_util.h"
#include "Gui_services.h"
#include "Master_ascii.h"
#include "Master_rtu.h"
#include "Notices.h"
#include "Peers.h"

#ifdef HAVE_LIBMODBUS
#include <modbus.h>
#endif

namespace {

constexpr int kCount = 10;
constexpr double kAnswerDelayMs = 20;

// The peer's own checksums, independent of the stations' library.
uint16_t crc16(const uint8_t *p, size_t n)
{
    uint16_t c = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int b = 0; b < 8; ++b)
            c = (c & 1) ? uint16_t((c >> 1) ^ 0xA001) : uint16_t(c >> 1);
    }
    return c;
}

uint8_t lrc8(const std::vector<uint8_t> &bytes)
{
    unsigned s = 0;
    for (uint8_t b : bytes)
        s += b;
    return uint8_t(-s);
}

void sleep_until_ms(double t)
{
    const double d = t - bench::now_ms();
    if (d > 0)
        usleep(useconds_t(d * 1000));
}

// The slave on the far end of the pair: reads holding registers 1..10 of
// device 1, RTU or ASCII, each answer with fresh values (serial x 100 + i).
class Peer {
public:
    std::atomic<bool> ascii{false};
    std::atomic<int> baud{9600};
    std::atomic<int> serial{0};
    std::atomic<double> answerStart{0};  // bench::now_ms() of the answer's first byte

    explicit Peer(const QString &path)
    {
        fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0)
            thread_ = std::thread([this] { run(); });
    }
    ~Peer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

private:
    void run()
    {
        std::vector<uint8_t> in;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0)
                continue;
            in.insert(in.end(), buf, buf + n);
            if (in.size() > 1024)
                in.clear();
            std::vector<uint8_t> request;
            if (ascii) {
                auto lf = std::find(in.begin(), in.end(), uint8_t('\n'));
                if (lf == in.end())
                    continue;
                const std::string line(in.begin(), lf);
                in.erase(in.begin(), lf + 1);
                const auto colon = line.find(':');
                if (colon == std::string::npos)
                    continue;
                const QByteArray bytes = QByteArray::fromHex(QByteArray::fromStdString(line.substr(colon + 1)));
                if (bytes.size() != 7)
                    continue;
                request.assign(bytes.begin(), bytes.end());
                if (lrc8({request.begin(), request.end() - 1}) != request.back())
                    continue;
            } else {
                if (in.size() < 8)
                    continue;
                request.assign(in.begin(), in.begin() + 8);
                in.clear();
                if (crc16(request.data(), 6) != (request[6] | request[7] << 8))
                    continue;
            }
            if (request[0] != 1 || request[1] != 3)
                continue;
            answer(bench::now_ms() + kAnswerDelayMs);
        }
    }

    void answer(double at)
    {
        const int s = ++serial;
        std::vector<uint8_t> pdu{1, 3, uint8_t(2 * kCount)};
        for (int i = 0; i < kCount; ++i) {
            const int v = s * 100 + i + 1;
            pdu.push_back(uint8_t(v >> 8));
            pdu.push_back(uint8_t(v));
        }
        std::vector<uint8_t> frame;
        if (ascii) {
            const uint8_t l = lrc8(pdu);
            pdu.push_back(l);
            QByteArray text = ":" + QByteArray(reinterpret_cast<const char *>(pdu.data()), int(pdu.size())).toHex().toUpper() + "\r\n";
            frame.assign(text.begin(), text.end());
        } else {
            frame = pdu;
            const uint16_t c = crc16(pdu.data(), pdu.size());
            frame.push_back(uint8_t(c));
            frame.push_back(uint8_t(c >> 8));
        }
        sleep_until_ms(at + double(frame.size()) * 10000.0 / baud);
        answerStart = bench::now_ms();
        (void)::write(fd_, frame.data(), frame.size());
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A station whose port settings the bench sets directly.
template <class Station> class BenchStation : public Station {
public:
    void usePort(int port, int baud, char parity, int dataBits)
    {
        this->ports_.setDefaults(port, baud, parity, int16_t(dataBits), 1);
        this->UpdatePortLabel();
    }
};

template <class T> T *child(QObject *parent, const char *name)
{
    T *c = parent->findChild<T *>(name);
    if (!c)
        qFatal("no child %s", name);
    return c;
}

// Medians: the exchange, what the timing rules predict for it, and the part
// after the peer handed over its answer (the master's own share, free of the
// peer's scheduling on a loaded machine).
struct Figures {
    double ms = -1, predicted = -1, after = -1;
};

// Median exchange time of a station window, Fast on or off.
Figures measure_station(SerialMasterWindow *w, Peer &peer, bool ascii, bool fast, int runs)
{
    w->setFastReceive(fast);
    auto *grid = child<StringGrid>(w, "StringGrid1");
    auto *timer = child<QTimer>(w, "Timer1");
    double t0 = 0, gridMs = -1;
    QString want;
    auto conn = QObject::connect(grid->model(), &QAbstractItemModel::dataChanged, [&] {
        if (gridMs < 0 && grid->cellText(1, kCount).trimmed() == want)
            gridMs = bench::now_ms() - t0;
    });
    child<QComboBox>(w, "ComboBox1")->setCurrentIndex(2);
    child<QLineEdit>(w, "MaskEdit1")->setText("1");
    child<QLineEdit>(w, "MaskEdit2")->setText("1");
    child<QLineEdit>(w, "MaskEdit3")->setText(QString::number(kCount));
    std::vector<double> times, predicted, after;
    const int n = ascii ? 1 + 2 * (3 + 2 * kCount + 1) + 2 : 5 + 2 * kCount;
    for (int r = 0; r < runs; ++r) {
        const double quiet = bench::now_ms();
        while (bench::now_ms() - quiet < 60)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        want = QString::number((peer.serial + 1) * 100 + kCount);
        gridMs = -1;
        t0 = bench::now_ms();
        w->BitBtn1Click();  // "Send command"
        while ((gridMs < 0 || timer->isActive()) && bench::now_ms() - t0 < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
        if (gridMs < 0) {
            std::fprintf(stderr, "%s %s: no answer in the grid\n", ascii ? "ASCII" : "RTU", fast ? "fast" : "tick");
            continue;
        }
        times.push_back(gridMs);
        after.push_back(gridMs - (peer.answerStart - t0));
        if (qEnvironmentVariableIsSet("BENCH_TRACE"))
            std::fprintf(stderr, "%s %s: answer written at %.1f ms, grid at %.1f ms\n", ascii ? "ASCII" : "RTU",
                         fast ? "fast" : "tick", peer.answerStart - t0, gridMs);
        const int k1 = std::max(2, int(std::ceil((peer.answerStart - t0) / 10.0)));
        predicted.push_back(10.0 * (k1 + n + (ascii ? 0 : 10)));
    }
    QObject::disconnect(conn);
    if (times.empty())
        return {};
    return {bench::median(times), bench::median(predicted), bench::median(after)};
}

#ifdef HAVE_LIBMODBUS
Figures measure_libmodbus(const QString &path, int baud, int runs, Peer &peer)
{
    modbus_t *ctx = modbus_new_rtu(path.toLocal8Bit().constData(), baud, 'N', 8, 1);
    if (!ctx)
        return {};
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 1, 0);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        return {};
    }
    std::vector<double> times, after;
    uint16_t regs[kCount];
    for (int r = 0; r < runs; ++r) {
        usleep(60000);
        const double t0 = bench::now_ms();
        if (modbus_read_registers(ctx, 0, kCount, regs) == kCount) {
            const double done = bench::now_ms();
            times.push_back(done - t0);
            after.push_back(done - peer.answerStart);
        }
    }
    modbus_close(ctx);
    modbus_free(ctx);
    if (times.empty())
        return {};
    return {bench::median(times), -1, bench::median(after)};
}
#else
Figures measure_libmodbus(const QString &, int, int, Peer &) { return {}; }
#endif

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int runs = 9;
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]) == "--runs" && i + 1 < argc)
            runs = std::clamp(std::atoi(argv[++i]), 1, 31);

    QApplication app(argc, argv);
    if (QStandardPaths::findExecutable("socat").isEmpty()) {
        std::fprintf(stderr, "socat is not installed\n");
        return 1;
    }
    PtyPair pair;
    if (!pair.ok()) {
        std::fprintf(stderr, "socat made no pty pair\n");
        return 1;
    }
    PtyPair::mapPort(1, pair.a());
    set_message_box_sink([](const std::string &text, const std::string &caption) {
        std::fprintf(stderr, "message box [%s] %s\n", caption.c_str(), text.c_str());
    });
    Peer peer(pair.b());
    if (!peer.ok()) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(pair.b()));
        return 1;
    }

    std::printf("Fast receive: 10-register read over a socat pty pair, peer answering after %.0f ms at the "
                "line's pace; %d exchanges each, medians\n",
                kAnswerDelayMs, runs);
    std::printf("%-6s %-7s %12s %12s %12s %12s\n", "frame", "baud", "tick ms", "predicted", "fast ms", "libmodbus");
    bool ok = true;
    for (int baud : {9600, 115200}) {
        peer.baud = baud;
        peer.ascii = false;
        const Figures libF = measure_libmodbus(pair.a(), baud, runs, peer);
        const double lib = libF.ms;
        for (bool ascii : {false, true}) {
            peer.ascii = ascii;
            std::unique_ptr<SerialMasterWindow> w;
            if (ascii) {
                auto *s = new BenchStation<TMSASC_Form>;
                s->usePort(1, baud, 'O', 7);
                w.reset(s);
            } else {
                auto *s = new BenchStation<TMSRTU_Form>;
                s->usePort(1, baud, 'N', 8);
                w.reset(s);
            }
            child<QPushButton>(w.get(), "BitBtn4")->click();  // "Open"
            if (!child<QPushButton>(w.get(), "BitBtn5")->isEnabled()) {
                std::fprintf(stderr, "the port did not open\n");
                return 1;
            }
            const Figures tick = measure_station(w.get(), peer, ascii, false, runs);
            const Figures fast = measure_station(w.get(), peer, ascii, true, runs);
            child<QPushButton>(w.get(), "BitBtn5")->click();  // "Close"
            w.reset();
            if (tick.ms < 0 || fast.ms < 0) {
                ok = false;
                continue;
            }
            const char *frame = ascii ? "ASCII" : "RTU";
            std::printf("%-6s %-7d %12.1f %12.1f %12.1f %12s\n", frame, baud, tick.ms, tick.predicted, fast.ms,
                        lib < 0 ? "n/a" : bench::fmt("%.1f", lib).c_str());
            const std::string what = std::string(frame) + " read of 10 registers, " + std::to_string(baud) + " baud";
            const double dev = (tick.ms - tick.predicted) / tick.predicted * 100;
            bench::row("3 Serial", what + ", Fast off", bench::fmt("%.1f ms", tick.ms) + bench::fmt(" (%+.1f%%)", dev),
                       bench::fmt("%.0f ms predicted", tick.predicted), std::fabs(dev) <= 10 ? "met" : "NOT met");
            // ASCII's frame is longer than the RTU frame libmodbus reads: its
            // goal gets the extra characters' line time.
            const int extraChars = ascii ? (1 + 2 * (4 + 2 * kCount) + 2) - (5 + 2 * kCount) : 0;
            const double extraMs = extraChars * 10000.0 / baud;
            if (lib < 0) {
                bench::row("3 Serial", what + ", Fast on", bench::fmt("%.1f ms", fast.ms), "libmodbus + 5 ms",
                           "n/a (no libmodbus)");
            } else {
                const double goal = lib + extraMs + 5;
                bench::row("3 Serial", what + ", Fast on",
                           bench::fmt("%.1f ms", fast.ms) + bench::fmt(" (libmodbus %+.1f ms; ", fast.ms - lib) +
                               bench::fmt("%.1f ms after the answer, ", fast.after) +
                               bench::fmt("libmodbus %.1f)", libF.after),
                           ascii ? bench::fmt("<= %.1f ms (RTU libmodbus + ", goal) +
                                       bench::fmt("%.1f ms longer frame + 5 ms)", extraMs)
                                 : bench::fmt("<= %.1f ms (libmodbus + 5 ms)", goal),
                           fast.ms <= goal ? "met" : "NOT met");
            }
            if (!ascii)
                bench::row("3 Serial", what + ", libmodbus master",
                           lib < 0 ? std::string("n/a")
                                   : bench::fmt("%.1f ms", lib) + bench::fmt(" (%.1f ms after the answer)", libF.after),
                           "reference", "-");
            else
                bench::row("3 Serial", what + ", libmodbus master", "n/a (RTU only; RTU figure above)", "reference",
                           "-");
        }
    }
    set_message_box_sink({});
    return ok ? 0 : 1;
}
