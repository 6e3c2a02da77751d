#include "Serial_master.h"
#include "Strformat.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSocketNotifier>
#include <algorithm>
#include <climits>

SerialMasterWindow::SerialMasterWindow(const QString &caption, const QString &header, CountLimits limits,
                                       int countPlaces, StationKind kind, QWidget *parent)
    : MasterWindow(caption, header, limits, countPlaces,
                   kind == MasterAscii ? Traffic_framing::Ascii : Traffic_framing::Rtu, parent),
      link_(&default_serial_link()), kind_(kind)
{
    BitBtn3 = new QPushButton("Port Define", this);
    BitBtn3->setObjectName("BitBtn3");
    BitBtn4 = new QPushButton("Open", this);
    BitBtn4->setObjectName("BitBtn4");
    BitBtn5 = new QPushButton("Close", this);
    BitBtn5->setObjectName("BitBtn5");
    Label1 = new QLabel("Port-1", this);
    Label1->setObjectName("Label1");
    portRow()->addWidget(BitBtn3);
    portRow()->addWidget(BitBtn4);
    portRow()->addWidget(BitBtn5);
    portRow()->addWidget(Label1);
    portRow()->addStretch();

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setTimerType(Qt::PreciseTimer);

    connect(BitBtn3, &QPushButton::clicked, this, &SerialMasterWindow::BitBtn3Click);
    connect(BitBtn4, &QPushButton::clicked, this, &SerialMasterWindow::BitBtn4Click);
    connect(BitBtn5, &QPushButton::clicked, this, &SerialMasterWindow::BitBtn5Click);
    connect(Timer1, &QTimer::timeout, this, &SerialMasterWindow::Timer1Timer);
    // After the step: fast receive sets when the next look is due.
    connect(Timer1, &QTimer::timeout, this, &SerialMasterWindow::scheduleFastLook);
    addFastBox();

    scanTimer_ = new QTimer(this);
    scanTimer_->setTimerType(Qt::PreciseTimer);
    connect(scanTimer_, &QTimer::timeout, this, &SerialMasterWindow::scanLook);
}

void SerialMasterWindow::addFastBox()
{
    FastBox = new QCheckBox("Fast", this);
    FastBox->setObjectName("FastBox");
    FastBox->setToolTip("Take every byte waiting and end the answer as soon as it is complete");
    pollRow()->addWidget(FastBox);
    connect(FastBox, &QCheckBox::toggled, this, [this](bool on) { setFastReceive(on); });
    setupFields().add_check("fast", FastBox);
}

void SerialMasterWindow::setUpPorts(int usedPort, int32_t baud, char parity, int16_t dataBits, int16_t stopBits)
{
    ports_.setDefaults(usedPort, baud, parity, dataBits, stopBits);
    UpdatePortLabel();
    StringGrid1->showHint(false);
    BitBtn1->setEnabled(true);
    BitBtn3->setEnabled(true);
    BitBtn4->setEnabled(true);
    BitBtn2->setEnabled(false);
    BitBtn5->setEnabled(false);
    add_port_setup(setupFields(), ports_, [this] { return portOpen(); }, [this] { UpdatePortLabel(); });
}

void SerialMasterWindow::UpdatePortLabel()
{
    ports_.takeCurrent();
    Label1->setText(ports_.label());
}

void SerialMasterWindow::BitBtn3Click()
{
    port_define_action(ports_, portOpen(), [this] { BitBtn5Click(); }, [this] { UpdatePortLabel(); });
}

void SerialMasterWindow::BitBtn4Click()
{
    const PortSetting &s = ports_.current;
    if (link_->open(ports_.usedPort, s.Baud, s.ParityLetter, s.DataBitCount, s.StopBitCount, 0) == 1) {
        show_status_message(strformat("Open COM%d port OK ......", ports_.usedPort));
        traffic_.event(strformat("COM%d opened", ports_.usedPort));
        BitBtn4->setEnabled(false);
        BitBtn5->setEnabled(true);
        linkOpened();
    } else {
        show_status_message(strformat("Open COM%d port error !!!!!", ports_.usedPort));
    }
}

void SerialMasterWindow::BitBtn5Click()
{
    if (link_->close(ports_.usedPort) == 1) {
        show_status_message(strformat("Close COM%d port OK ......", ports_.usedPort));
        traffic_.event(strformat("COM%d closed", ports_.usedPort));
        BitBtn4->setEnabled(true);
        BitBtn5->setEnabled(false);
        // Polling and the queued writes end with the port, as with a lost
        // connection; a one-shot exchange in flight runs to its time-out.
        if (pollOn() || session_.pendingWrites() > 0) {
            Timer1->stop();
            stopWatchingPort();
            linkLost(true);
        }
    } else {
        show_status_message(strformat("Close COM%d port error !!!!!", ports_.usedPort));
    }
}

void SerialMasterWindow::sendRequest(const void *bytes, int32_t n)
{
    // Polling, or ending an answer as soon as it is complete, what waits in
    // the port (the late answer to a request that timed out) would pass for
    // this request's answer: it goes first, and the history keeps it.
    if (pollOn() || fast_)
        discardWaiting();
    link_->write(ports_.usedPort, bytes, n);  // the count written is not checked
    traffic_.tx(bytes, n > 0 ? size_t(n) : 0);
    // The write returns once the port has the bytes; they are on the line
    // for their line time after that, and the answer's time-out waits for it.
    const PortSetting &s = ports_.current;
    fastReceiver().timing().sent(link_->monotonicMs(),
                                 line_time_ms(n, s.Baud, s.DataBitCount, s.ParityLetter, s.StopBitCount));
    if (fast_) {
        startFastReceive(bytes, n);
        return;
    }
    Timer1->setInterval(10);
    Timer1->start();
    restartReceive();
}

void SerialMasterWindow::discardWaiting()
{
    std::string dropped;
    const int32_t n = discard_waiting(*link_, ports_.usedPort, dropped);
    // They crossed the wire: an RX entry, so captures show them too.
    if (n > 0)
        traffic_.dropped(dropped.data(), dropped.size(), Traffic_drop::Discarded);
}

void SerialMasterWindow::recordAnswer(const void *data, int32_t n)
{
    traffic_.rx_timed(data, n > 0 ? size_t(n) : 0, int32_t(std::min<int64_t>(responseMs(), INT32_MAX)));
}

void SerialMasterWindow::FormClose()
{
    Timer1->stop();
    stopWatchingPort();
    station_closed(kind_);
    if (portOpen())
        link_->close(ports_.usedPort);
    released_ = true;
}

SerialMasterWindow::~SerialMasterWindow()
{
    // A window destroyed without being closed (its frame going first) still
    // gives its port back, so that the next station can open it. The watch
    // on the port's descriptor goes first.
    delete portWatch_;
    portWatch_ = nullptr;
    if (!released_ && portOpen())
        link_->close(ports_.usedPort);
}

void SerialMasterWindow::Timer1Timer()
{
    switch (tickReceiver()) {
    case ReceiveEvent::Check: {
        const AnswerCheck check = checkAnswer();
        Memo2->clear();
        Memo2->add(check.response);
        if (check.ok) {
            if (answerForGrid()) {
                showAnswer();
            } else {
                const std::vector<uint8_t> answer = answerBytes();
                watchAnswered(answer, responseMs());
            }
        } else {
            Memo2->add(check.error);
            answerFailed();
        }
        break;
    }
    case ReceiveEvent::Overflow:
        // The exchange ends as after a time-out, without the box: on a line
        // that never falls silent (a babbling device, a wrong baud rate) the
        // machine would otherwise start over and overflow again for ever.
        // The Memo2 line tells the operator what happened.
        Timer1->stop();
        Memo2->add(overflowText());
        traffic_.dropped(heldAnswer().data(), heldAnswer().size(), Traffic_drop::Cut_short);
        traffic_.event(overflowText());
        answerFailed();
        exchangeOver();
        break;
    case ReceiveEvent::TimeOut:
        Timer1->stop();  // no tick while the box is open
        Memo2->add(std::string("Time out error"));
        traffic_.dropped(heldAnswer().data(), heldAnswer().size(), Traffic_drop::Cut_short);
        traffic_.event("time-out, no answer");
        if (!timedOutQuietly())  // polling goes on without a box each cycle
            show_message_box("RS232C comm. time out error", "Zentavor");
        exchangeOver();
        break;
    case ReceiveEvent::Finish:
        Timer1->stop();
        if (answerForGrid())
            offerGrid(true);
        exchangeOver();
        break;
    case ReceiveEvent::None:
        break;
    }
}

// ---- the scan for devices ------------------------------------------------

namespace {
// How often the line is looked at during a scan: a few ms against time-outs
// of 20 ms and more.
constexpr int kScanLookMs = 2;
}  // namespace

Scan_setting SerialMasterWindow::scanLine() const
{
    const PortSetting &s = ports_.current;
    return {.baud = s.Baud, .parity = s.ParityLetter, .data_bits = s.DataBitCount, .stop_bits = s.StopBitCount};
}

void SerialMasterWindow::scanTake()
{
    Timer1->stop();
    stopWatchingPort();
    discardWaiting();
    scanTimer_->start(kScanLookMs);
}

void SerialMasterWindow::scanLook()
{
    uint8_t chunk[128];
    for (int i = 0; i < 8 && scanning(); ++i) {
        const int32_t n = link_->read(ports_.usedPort, chunk, int32_t(sizeof chunk));
        if (n <= 0)
            break;
        scanReceived(chunk, size_t(n));
    }
}

bool SerialMasterWindow::reopen(const PortSetting &s)
{
    link_->close(ports_.usedPort);
    if (link_->open(ports_.usedPort, s.Baud, s.ParityLetter, s.DataBitCount, s.StopBitCount, 0) == 1)
        return true;
    show_status_message(strformat("Open COM%d port error !!!!!", ports_.usedPort));
    traffic_.event(strformat("COM%d closed", ports_.usedPort));
    BitBtn4->setEnabled(true);
    BitBtn5->setEnabled(false);
    return false;
}

bool SerialMasterWindow::set_line(const Scan_setting &setting)
{
    lineSet_ = true;
    traffic_.event("scan: line set to " + scan_setting_text(setting));
    return reopen(PortSetting{.Baud = setting.baud,
                              .StopBitCount = setting.stop_bits,
                              .DataBitCount = setting.data_bits,
                              .ParityLetter = setting.parity});
}

void SerialMasterWindow::send(const uint8_t *bytes, size_t n)
{
    link_->write(ports_.usedPort, bytes, int32_t(n));
    traffic_.tx(bytes, n);
}

void SerialMasterWindow::scanGive()
{
    scanTimer_->stop();
    // The line goes back to the station's own settings.
    if (lineSet_ && portOpen())
        reopen(ports_.current);
    lineSet_ = false;
}

void SerialMasterWindow::scanUseLine(const Scan_setting &setting)
{
    const PortSetting s{.Baud = setting.baud,
                        .StopBitCount = setting.stop_bits,
                        .DataBitCount = setting.data_bits,
                        .ParityLetter = setting.parity};
    if (s == ports_.current)
        return;
    ports_.table[size_t(std::clamp(ports_.usedPort, 1, int(ports_.table.size())) - 1)] = s;
    UpdatePortLabel();
    if (portOpen() && reopen(ports_.current))
        traffic_.event(strformat("COM%d opened at %s", ports_.usedPort, scan_setting_text(setting).c_str()));
}

// ---- fast receive --------------------------------------------------------

namespace {
// Without a descriptor to wake on, the window looks this often.
constexpr int kFallbackLookMs = 2;
}  // namespace

void SerialMasterWindow::setFastReceive(bool on)
{
    fast_ = on;
    fastReceiver().setFast(on);
}

void SerialMasterWindow::startFastReceive(const void *request, int32_t n)
{
    const PortSetting &s = ports_.current;
    fastReceiver().expect(static_cast<const uint8_t *>(request), n,
                          rtu_silence_ms(s.Baud, s.DataBitCount, s.ParityLetter, s.StopBitCount));
    restartReceive();
    const int fd = link_->descriptor(ports_.usedPort);
    if (portWatch_ && portWatch_->socket() != fd) {
        delete portWatch_;
        portWatch_ = nullptr;
    }
    if (fd >= 0 && !portWatch_) {
        portWatch_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(portWatch_, &QSocketNotifier::activated, this, &SerialMasterWindow::portReadable);
    }
    if (portWatch_)
        portWatch_->setEnabled(true);
    Timer1->start(0);  // the first look at once: the answer may be there already
}

void SerialMasterWindow::scheduleFastLook()
{
    // The mode is the receive machine's, fixed for the exchange: one begun on
    // the 10 ms tick runs on it to its end.
    if (!fastReceiver().fast())
        return;
    if (!Timer1->isActive()) {  // the exchange is over
        stopWatchingPort();
        return;
    }
    int32_t next = fastReceiver().nextLookMs();
    if (!(portWatch_ && portWatch_->isEnabled()))
        next = std::min(next, int32_t(kFallbackLookMs));
    Timer1->start(int(std::max(0, next)));
}

void SerialMasterWindow::portReadable()
{
    // A port closed meanwhile (its descriptor may even belong to another
    // device by now) or an exchange already over: nothing to take.
    if (!Timer1->isActive() || link_->descriptor(ports_.usedPort) != portWatch_->socket()) {
        stopWatchingPort();
        return;
    }
    Timer1Timer();
    // A line that hangs up stays readable with nothing to read: look on the
    // timer for the rest of the exchange instead of waking without end.
    if (Timer1->isActive() && fastReceiver().lastTaken() == 0 && portWatch_)
        portWatch_->setEnabled(false);
    scheduleFastLook();
}

void SerialMasterWindow::stopWatchingPort()
{
    if (portWatch_)
        portWatch_->setEnabled(false);
}
