#include "Master_tcp.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTcpSocket>
#include <QUdpSocket>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "Answer_code.h"
#include "Master_grid.h"
#include "Master_receive.h"
#include "Notices.h"
#include "Strformat.h"
#include "Query.h"
#include "Rtu_layout.h"
#include "Traffic_socket.h"

int socket_error_number(QAbstractSocket::SocketError error)
{
    // Qt reports its own error kinds, not the system's number; each maps back
    // to the errno the failing call gives on Linux.
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
        return ECONNRESET;
    case QAbstractSocket::HostNotFoundError:
        return EHOSTUNREACH;
    case QAbstractSocket::SocketAccessError:
        return EACCES;
    case QAbstractSocket::SocketResourceError:
        return EMFILE;
    case QAbstractSocket::SocketTimeoutError:
        return ETIMEDOUT;
    case QAbstractSocket::DatagramTooLargeError:
        return EMSGSIZE;
    case QAbstractSocket::NetworkError:
        return ENETUNREACH;
    case QAbstractSocket::AddressInUseError:
        return EADDRINUSE;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return EADDRNOTAVAIL;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return EOPNOTSUPP;
    case QAbstractSocket::OperationError:
        return EINPROGRESS;
    default:
        return EIO;
    }
}

namespace {

// Part of an answer is still waiting for the rest when the connection ends
// or a new request goes out: it can never be completed (or it would take the
// first bytes of the next answer as its own), so it goes, into the traffic
// history as received. The line saying so is returned, empty when nothing
// was waiting.
std::string drop_cut_answer(TcpFramer &framer, const char *why, Station_traffic &traffic)
{
    std::string line;
    if (framer.buffered() > 0)
        line = strformat("Answer cut short: %s, %d bytes dropped", why, int(framer.buffered()));
    std::vector<uint8_t> cut;
    framer.take(cut);
    traffic.dropped(cut.data(), cut.size(), Traffic_drop::Cut_short);
    return line;
}

// How the frames of each framing travel, for the traffic history.
Traffic_carrier carrier_of(TMSTCP_Form::FramingItem framing)
{
    switch (framing) {
    case TMSTCP_Form::FramingRtuOverTcp: return Traffic_carrier::Rtu_over_tcp;
    case TMSTCP_Form::FramingUdp: return Traffic_carrier::Udp;
    default: return Traffic_carrier::Native;
    }
}

// A button that may shrink to the width of its words (the style's least is
// wider): what a full row gives up before its fields are squeezed.
class Word_button : public QPushButton {
public:
    using QPushButton::QPushButton;
    QSize minimumSizeHint() const override
    {
        const QSize least = QPushButton::minimumSizeHint();
        return {std::min(least.width(), fontMetrics().horizontalAdvance(text()) + 14), least.height()};
    }
};

// Datagrams taken per turn of the event loop, so that a flood cannot hold
// the window; the rest wake it again.
constexpr int kDatagramsPerTurn = 64;

}  // namespace

TMSTCP_Form::TMSTCP_Form(QWidget *parent)
    : MasterWindow("Modbus/TCP master type protocol", "Modbus/TCP Master Utility Program", kTcpLimits, 4,
                   Traffic_framing::Tcp, parent)
{
    setObjectName("MSTCP_Form");
    Edit1 = new QLineEdit("127.0.0.1", this);
    Edit1->setObjectName("Edit1");
    Edit1->setMaximumWidth(160);
    // Five places rather than four, so that every TCP port can be typed.
    MaskEdit4 = make_number_field(this, "MaskEdit4", 5, "502");
    BitBtn3 = new Word_button("open", this);
    BitBtn3->setObjectName("BitBtn3");
    BitBtn4 = new Word_button("close", this);
    BitBtn4->setObjectName("BitBtn4");
    Framing = new QComboBox(this);
    Framing->setObjectName("Framing");
    Framing->addItems({"Modbus/TCP", "RTU over TCP", "Modbus/UDP"});
    Framing->setToolTip("How requests travel; applied at \"open\"");
    add_labelled(portRow(), "IP Address:", Edit1);
    add_labelled(portRow(), "Port No.", MaskEdit4);
    add_labelled(portRow(), "Framing", Framing);
    portRow()->addWidget(BitBtn3);
    portRow()->addWidget(BitBtn4);
    portRow()->addStretch();
    // At the window's starting size the row is full: "open" and "close" give
    // up the room beyond their words, so that the address and the port
    // stay readable whole.
    for (QPushButton *b : {BitBtn3, BitBtn4})
        b->setSizePolicy(QSizePolicy::Preferred, b->sizePolicy().verticalPolicy());
    Edit1->setMinimumWidth(Edit1->fontMetrics().horizontalAdvance(QStringLiteral("127.0.0.1")) + 10);
    MaskEdit4->setMinimumWidth(MaskEdit4->fontMetrics().horizontalAdvance(QStringLiteral("65535")) + 12);

    // Without it a polled exchange whose answer never comes would stop
    // polling for good.
    TimeoutMs = new QSpinBox(this);
    TimeoutMs->setObjectName("TimeoutMs");
    TimeoutMs->setRange(1, int(PollScheduler::kMaxIntervalMs));
    TimeoutMs->setValue(1000);
    TimeoutMs->setSuffix(" ms");
    TimeoutMs->setToolTip("A polled request without an answer in this time counts as a time-out");
    // Retyping it must not pass through 1 ms and time exchanges out.
    TimeoutMs->setKeyboardTracking(false);
    add_labelled(pollRow(), "Time-out", TimeoutMs);
    session_.scheduler().setAnswerTimeout(TimeoutMs->value());
    connect(TimeoutMs, &QSpinBox::valueChanged, this, [this](int ms) { session_.scheduler().setAnswerTimeout(ms); });
    setupFields().add_text("host", Edit1);
    setupFields().add_digits("port", MaskEdit4, [this] { return read_decimal_field(MaskEdit4); });
    setupFields().add_spin("timeout_ms", TimeoutMs);
    // Applied at "open": a connection keeps the framing it was opened with.
    setupFields().add_choice("framing", Framing, [this](const Setup_value &v) {
        return !Framing->isEnabled() && std::get<std::string>(v) != Framing->currentText().toStdString()
                   ? std::string("the connection is open: close it before changing its framing")
                   : std::string();
    });

    ClientSocket1 = new QTcpSocket(this);
    ClientSocket1->setObjectName("ClientSocket1");
    UdpSocket1 = new QUdpSocket(this);
    UdpSocket1->setObjectName("UdpSocket1");

    connect(BitBtn3, &QPushButton::clicked, this, &TMSTCP_Form::BitBtn3Click);
    connect(BitBtn4, &QPushButton::clicked, this, &TMSTCP_Form::BitBtn4Click);
    connect(ClientSocket1, &QTcpSocket::connected, this, &TMSTCP_Form::ClientSocket1Connect);
    connect(ClientSocket1, &QTcpSocket::disconnected, this, &TMSTCP_Form::ClientSocket1Disconnect);
    connect(ClientSocket1, &QTcpSocket::errorOccurred, this, &TMSTCP_Form::ClientSocket1Error);
    connect(ClientSocket1, &QTcpSocket::readyRead, this, &TMSTCP_Form::ClientSocket1Read);
    connect(UdpSocket1, &QUdpSocket::connected, this, &TMSTCP_Form::UdpSocket1Connect);
    connect(UdpSocket1, &QUdpSocket::errorOccurred, this, &TMSTCP_Form::UdpSocket1Error);
    connect(UdpSocket1, &QUdpSocket::readyRead, this, &TMSTCP_Form::UdpSocket1Read);
    FormCreate();
}

TMSTCP_Form::~TMSTCP_Form()
{
    // The socket goes after this window's controls and reports its
    // disconnect as it goes: nothing of that may reach the handlers.
    QObject::disconnect(ClientSocket1, nullptr, this, nullptr);
    QObject::disconnect(UdpSocket1, nullptr, this, nullptr);
    ClientSocket1->abort();
    UdpSocket1->abort();
}

void TMSTCP_Form::FormCreate()
{
    ComboBox1->setCurrentIndex(0);
    CheckRequestFields();
    StringGrid1->showHint(false);
    BitBtn1->setEnabled(true);
    BitBtn2->setEnabled(false);
    BitBtn3->setEnabled(true);
    BitBtn4->setEnabled(false);
    host_.clear();
    port_ = 0;
}

void TMSTCP_Form::BitBtn3Click()
{
    host_ = Edit1->text();
    const long port = read_decimal_field(MaskEdit4);
    port_ = port <= 65535 ? int(port) : 0;  // no port beyond the range: the connection is refused
    BitBtn3->setEnabled(false);
    framing_ = FramingItem(Framing->currentIndex());
    Framing->setEnabled(false);
    framer_.clear();
    rtuHeld_.clear();
    cutNote_.clear();
    traffic_.set_link({.peer = Traffic_endpoint::parse(host_.toStdString(), quint16(port_)).value_or(Traffic_endpoint{}),
                       .carrier = carrier_of(framing_)});
    // A UDP socket "connected" is bound, with its peer set: it sends there
    // and takes datagrams from there only.
    if (framing_ == FramingUdp)
        UdpSocket1->connectToHost(host_, quint16(port_));
    else
        ClientSocket1->connectToHost(host_, quint16(port_));
}

void TMSTCP_Form::ClientSocket1Connect()
{
    show_status_message("Connect To: " + ClientSocket1->peerName().toStdString() + " OK");
    Traffic_link link = traffic_link(*ClientSocket1);
    link.carrier = carrier_of(framing_);
    traffic_.connected(link);
    BitBtn3->setEnabled(false);
    BitBtn4->setEnabled(true);
    linkOpened();
}

void TMSTCP_Form::BitBtn4Click()
{
    BitBtn3->setEnabled(true);
    BitBtn4->setEnabled(false);
    Framing->setEnabled(true);
    if (framing_ == FramingUdp) {
        {
            QSignalBlocker quiet(UdpSocket1);
            UdpSocket1->abort();
        }
        show_status_message("Disconnect OK ");
        dropCutAnswer("socket closed");
        traffic_.disconnected("closed");
        linkLost(true);
    } else {
        ClientSocket1->abort();  // a connected socket reports the disconnect
    }
    host_.clear();
    port_ = 0;
    framer_.clear();
    rtuHeld_.clear();
}

void TMSTCP_Form::linkClosed()
{
    BitBtn3->setEnabled(true);
    BitBtn4->setEnabled(false);
    Framing->setEnabled(true);
    host_.clear();
    port_ = 0;
}

void TMSTCP_Form::ClientSocket1Disconnect()
{
    show_status_message("Disconnect OK ");
    linkClosed();
    dropCutAnswer("connection closed");
    traffic_.disconnected();
    linkLost(true);
}

void TMSTCP_Form::ClientSocket1Error(QAbstractSocket::SocketError error)
{
    // The peer closing the connection is an ordinary disconnect, reported by
    // ClientSocket1Disconnect right after this.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    const std::string text = strformat("TCP connect error rtc=%d", socket_error_number(error));
    show_status_message(text);
    {
        // Closing after an error is part of the error, not a second notice.
        QSignalBlocker quiet(ClientSocket1);
        ClientSocket1->abort();
    }
    linkClosed();
    dropCutAnswer("connection closed");
    traffic_.disconnected(text);
    // Polling stops before the box, which says why: a poll due under the box
    // would find the link gone and show a second one.
    linkLost(false);
    show_message_box(text);
}

bool TMSTCP_Form::linkOpen() const { return BitBtn4->isEnabled(); }

int32_t TMSTCP_Form::prepareQuery(uint32_t function, uint16_t device, uint16_t address, uint16_t count,
                                  uint16_t value)
{
    length_ = 0;
    std::memset(query_, 0, sizeof query_);
    if (framing_ == FramingRtuOverTcp)
        return prepare_rtu_query(function, uint8_t(device), address, count, value, &length_, query_);
    return prepare_tcp_query(function, uint8_t(device), address, count, value, &length_, query_);
}

int32_t TMSTCP_Form::prepareBlock(const WriteJob &job)
{
    length_ = 0;
    std::memset(query_, 0, sizeof query_);
    if (framing_ == FramingRtuOverTcp) {
        if (job.function == 15)
            return prepare_rtu_write_coils(uint8_t(job.device), job.address, uint16_t(job.bits.size()),
                                           job.bits.data(), &length_, query_);
        return prepare_rtu_write_registers(uint8_t(job.device), job.address, uint16_t(job.words.size()),
                                           job.words.data(), &length_, query_);
    }
    if (job.function == 15)
        return prepare_tcp_write_coils(uint8_t(job.device), job.address, uint16_t(job.bits.size()), job.bits.data(),
                                       &length_, query_);
    return prepare_tcp_write_registers(uint8_t(job.device), job.address, uint16_t(job.words.size()),
                                       job.words.data(), &length_, query_);
}

void TMSTCP_Form::dropCutAnswer(const char *why)
{
    std::string line = drop_cut_answer(framer_, why, traffic_);
    if (!rtuHeld_.empty()) {
        line = strformat("Answer cut short: %s, %d bytes dropped", why, int(rtuHeld_.size()));
        traffic_.dropped(rtuHeld_.data(), rtuHeld_.size(), Traffic_drop::Cut_short);
        rtuHeld_.clear();
    }
    if (!line.empty())
        Memo2->add(line);
}

void TMSTCP_Form::SendQuery()
{
    if (framing_ == FramingRtuOverTcp) {
        sendRtu();
        return;
    }
    // A new request starts clean: what is left of an earlier answer would
    // otherwise be completed by this request's answer and decoded in its
    // place. The line stays above the next answer, which explains it.
    cutNote_ = drop_cut_answer(framer_, "new request sent", traffic_);
    if (!cutNote_.empty())
        Memo2->add(cutNote_);
    expected_ = 0;
    if (pollOn() && length_ >= 2) {
        transaction_ = uint16_t(transaction_ == 0xFFFF ? 1 : transaction_ + 1);
        query_[0] = uint8_t(transaction_ >> 8);
        query_[1] = uint8_t(transaction_ & 0xFF);
        expected_ = transaction_;
    }
    Memo1->clear();
    Memo1->add(hex_line("Query message: ", query_, length_));
    if (framing_ == FramingUdp) {
        UdpSocket1->write(reinterpret_cast<const char *>(query_), length_);  // one datagram
    } else {
        ClientSocket1->write(reinterpret_cast<const char *>(query_), length_);
        if (expected_ != 0)
            ClientSocket1->flush();  // polling: out now, not at the next turn of the event loop
    }
    traffic_.tx(query_, size_t(length_));
}

void TMSTCP_Form::ClientSocket1Read()
{
    const QByteArray data = ClientSocket1->readAll();
    if (data.isEmpty())
        return;  // a failed read leaves nothing to decode
    show_status_message(strformat("Receive data length= %d", int(data.size())));
    if (scanning()) {
        scanReceived(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));
        return;
    }
    if (framing_ == FramingRtuOverTcp) {
        takeRtu(data);
        return;
    }
    framer_.append(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));
    takeMessages(false);
}

void TMSTCP_Form::takeMessages(bool datagram)
{
    // An answer split over several reads is decoded once it is whole; several
    // answers in one read are each logged and decoded in turn.
    bool first = true;
    bool ended = false;  // an exchange ended in this read
    std::vector<uint8_t> frame;
    for (;;) {
        const size_t buffered = framer_.buffered();
        unsigned badLength = 0;
        const TcpFramer::Status status = framer_.next(frame, &badLength);
        if (status == TcpFramer::Status::NeedMore)
            break;
        // A polled answer carries its request's transaction. One to an
        // earlier request is late, and so is any once its exchange is over
        // (timed out): it is dropped, counted nowhere.
        const bool waiting = session_.scheduler().busy();
        const bool late = status == TcpFramer::Status::Frame && expected_ != 0 && frame.size() >= 2 &&
                          (!waiting || (frame[0] << 8 | frame[1]) != expected_);
        // With no exchange waiting, the lines of the last one (its time-out)
        // stay above the late answer.
        if (first && (waiting || !late)) {
            Memo2->clear();
            if (!cutNote_.empty())
                Memo2->add(cutNote_);
            cutNote_.clear();
            first = false;
        }
        if (status == TcpFramer::Status::Bad) {
            Memo2->add(strformat("Length field error: %u, %d bytes dropped", badLength, int(buffered)));
            traffic_.dropped(frame.data(), frame.size(), Traffic_drop::Bad_length);
            answerFailed();
            ended = true;
            break;
        }
        if (late) {
            Memo2->add(hex_line("Late answer dropped: ", frame.data(), int32_t(frame.size())));
            traffic_.dropped(frame.data(), frame.size(), Traffic_drop::Late);
            continue;
        }
        length_ = int32_t(frame.size());
        traffic_.rx(frame.data(), frame.size());
        Memo2->add(hex_line("Response message: ", frame.data(), length_));
        if (answerForGrid()) {
            show_tcp_response(*StringGrid1, frame.data(), length_, request_.count, write_.row, write_.col,
                              write_.value);
            answerShown(tcp_answer_code(frame.data(), length_));
            offerGrid(false);
        } else {
            // The unit byte on: the transaction, protocol and length fields go.
            watchAnswered(frame.size() > 6 ? std::span<const uint8_t>(frame).subspan(6) : std::span<const uint8_t>());
        }
        ended = true;
    }
    // A datagram holds whole messages only: what is left is cut short.
    if (datagram)
        dropCutAnswer("datagram ended");
    // After the loop: the next request may go out from there, and a request
    // going out drops what is left in the framer.
    if (ended)
        exchangeOver();
}

// ---- Modbus/UDP ------------------------------------------------------------

void TMSTCP_Form::UdpSocket1Connect()
{
    show_status_message("UDP socket to: " + UdpSocket1->peerName().toStdString() + " OK");
    Traffic_link link = traffic_link(*UdpSocket1);
    link.carrier = Traffic_carrier::Udp;
    traffic_.set_link(link);
    traffic_.event("UDP socket bound to " + link.local.text() + ", peer " + link.peer.text());
    BitBtn3->setEnabled(false);
    BitBtn4->setEnabled(true);
    linkOpened();
}

void TMSTCP_Form::UdpSocket1Error(QAbstractSocket::SocketError error)
{
    const std::string text = strformat("UDP error rtc=%d", socket_error_number(error));
    // A peer without a server refuses a datagram (the system hears of it
    // afterwards): the socket stays open, and the exchange runs to its
    // time-out.
    if (UdpSocket1->state() == QAbstractSocket::ConnectedState) {
        Memo2->add(text);
        traffic_.event(text);
        return;
    }
    show_status_message(text);
    {
        QSignalBlocker quiet(UdpSocket1);
        UdpSocket1->abort();
    }
    linkClosed();
    traffic_.disconnected(text);
    linkLost(false);
    show_message_box(text);
}

void TMSTCP_Form::UdpSocket1Read()
{
    for (int i = 0; i < kDatagramsPerTurn && UdpSocket1->hasPendingDatagrams(); ++i) {
        const QByteArray data = UdpSocket1->receiveDatagram().data();
        show_status_message(strformat("Receive data length= %d", int(data.size())));
        if (scanning()) {
            scanReceived(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));
            continue;
        }
        framer_.clear();
        framer_.append(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));
        takeMessages(true);
    }
    // Qt signals once for the datagrams waiting; those left wake it again.
    if (UdpSocket1->hasPendingDatagrams())
        QMetaObject::invokeMethod(this, &TMSTCP_Form::UdpSocket1Read, Qt::QueuedConnection);
}

// ---- RTU over TCP ------------------------------------------------------------

void TMSTCP_Form::sendRtu()
{
    // What is left of an earlier answer goes, said once above the next answer.
    cutNote_.clear();
    if (!rtuHeld_.empty()) {
        cutNote_ = strformat("Answer cut short: new request sent, %d bytes dropped", int(rtuHeld_.size()));
        traffic_.dropped(rtuHeld_.data(), rtuHeld_.size(), Traffic_drop::Cut_short);
        rtuHeld_.clear();
        Memo2->add(cutNote_);
    }
    Memo1->clear();
    Memo1->add(hex_line("Query message: ", query_, length_));
    ClientSocket1->write(reinterpret_cast<const char *>(query_), length_);
    if (pollOn())
        ClientSocket1->flush();
    traffic_.tx(query_, size_t(length_));
    // The answer ends at its time-out at the latest, a one-shot request's
    // too: the time-out is when a broken answer is checked as it stands.
    if (!pollOn())
        PollTimer->start(0);
}

void TMSTCP_Form::showRtu(const uint8_t *frame, int32_t n)
{
    length_ = n;
    show_rtu_response(*StringGrid1, frame, n, request_.count, write_.row, write_.col, write_.value);
    answerShown(rtu_answer_code(frame, n));
    offerGrid(false);
}

void TMSTCP_Form::takeRtu(const QByteArray &data)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(data.constData());
    // Without an exchange waiting the bytes answer nothing: a request given
    // up at its time-out, or none at all.
    if (!session_.scheduler().busy()) {
        Memo2->add(hex_line("Late answer dropped: ", bytes, int32_t(data.size())));
        traffic_.dropped(bytes, size_t(data.size()), Traffic_drop::Late);
        return;
    }
    rtuHeld_.insert(rtuHeld_.end(), bytes, bytes + data.size());
    const Rtu_length whole = rtu_length_as_answer(rtuHeld_.data(), rtuHeld_.size());
    const bool complete = whole.kind == Rtu_length::Known && rtuHeld_.size() >= size_t(whole.bytes) &&
                          rtu_crc_holds(rtuHeld_.data(), size_t(whole.bytes));
    if (!complete && rtuHeld_.size() <= size_t(kRtuMaxFrame))
        return;  // more to come, or the time-out
    Memo2->clear();
    if (!cutNote_.empty())
        Memo2->add(cutNote_);
    cutNote_.clear();
    std::vector<uint8_t> held;
    held.swap(rtuHeld_);
    if (complete) {
        const int32_t n = whole.bytes;
        traffic_.rx(held.data(), size_t(n));
        Memo2->add(hex_line("Response Message: ", held.data(), n));
        showRtu(held.data(), n);
        // Bytes behind a whole answer answer nothing.
        if (held.size() > size_t(n)) {
            Memo2->add(hex_line("Late answer dropped: ", held.data() + n, int32_t(held.size()) - n));
            traffic_.dropped(held.data() + n, held.size() - size_t(n), Traffic_drop::Late);
        }
    } else {
        const std::string line =
            strformat("Receive buffer overflow: answer longer than %d bytes dropped", int(kRtuMaxFrame));
        Memo2->add(line);
        traffic_.dropped(held.data(), held.size(), Traffic_drop::Cut_short);
        traffic_.event(line);
        answerFailed();
    }
    exchangeOver();
}

bool TMSTCP_Form::answerTimedOut()
{
    if (framing_ != FramingRtuOverTcp || rtuHeld_.empty())
        return false;
    // What came is checked as it stands, as the RTU station checks an answer
    // ended by silence.
    std::vector<uint8_t> held;
    held.swap(rtuHeld_);
    const AnswerCheck check = rtu_answer_check(held.data(), int32_t(held.size()));
    Memo2->clear();
    if (!cutNote_.empty())
        Memo2->add(cutNote_);
    cutNote_.clear();
    Memo2->add(check.response);
    traffic_.rx(held.data(), held.size());
    if (check.ok) {
        showRtu(held.data(), int32_t(held.size()));
    } else {
        Memo2->add(check.error);
        answerFailed();
    }
    return true;
}

// ---- the scan for devices ----------------------------------------------------

Scan_transport TMSTCP_Form::scanTransport() const
{
    switch (linkOpen() ? framing_ : FramingItem(Framing->currentIndex())) {
    case FramingRtuOverTcp: return Scan_transport::Rtu_over_tcp;
    case FramingUdp: return Scan_transport::Udp;
    default: return Scan_transport::Tcp;
    }
}

std::string TMSTCP_Form::scanSettingText() const { return Framing->itemText(framing_).toStdString(); }

void TMSTCP_Form::send(const uint8_t *bytes, size_t n)
{
    if (framing_ == FramingUdp) {
        UdpSocket1->write(reinterpret_cast<const char *>(bytes), qint64(n));
    } else {
        ClientSocket1->write(reinterpret_cast<const char *>(bytes), qint64(n));
        ClientSocket1->flush();
    }
    traffic_.tx(bytes, n);
}

void TMSTCP_Form::scanTake()
{
    // The answer in flight is given up; its bytes, should they come, go to
    // the scan, which drops them as late.
    dropCutAnswer("scan started");
    cutNote_.clear();
}

void TMSTCP_Form::FormClose()
{
    station_closed(MasterTcp);
    // A connection, or one being made, goes with the window.
    QSignalBlocker quiet(ClientSocket1);
    QSignalBlocker quietUdp(UdpSocket1);
    ClientSocket1->abort();
    UdpSocket1->abort();
}
