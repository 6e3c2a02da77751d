#include "Master_tcp.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTcpSocket>
#include <cerrno>
#include <cstring>
#include <vector>

#include "Answer_code.h"
#include "Master_grid.h"
#include "Notices.h"
#include "Strformat.h"
#include "Query.h"
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
    BitBtn3 = new QPushButton("open", this);
    BitBtn3->setObjectName("BitBtn3");
    BitBtn4 = new QPushButton("close", this);
    BitBtn4->setObjectName("BitBtn4");
    add_labelled(portRow(), "IP Address:", Edit1);
    add_labelled(portRow(), "Port No.", MaskEdit4);
    portRow()->addWidget(BitBtn3);
    portRow()->addWidget(BitBtn4);
    portRow()->addStretch();

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

    ClientSocket1 = new QTcpSocket(this);
    ClientSocket1->setObjectName("ClientSocket1");

    connect(BitBtn3, &QPushButton::clicked, this, &TMSTCP_Form::BitBtn3Click);
    connect(BitBtn4, &QPushButton::clicked, this, &TMSTCP_Form::BitBtn4Click);
    connect(ClientSocket1, &QTcpSocket::connected, this, &TMSTCP_Form::ClientSocket1Connect);
    connect(ClientSocket1, &QTcpSocket::disconnected, this, &TMSTCP_Form::ClientSocket1Disconnect);
    connect(ClientSocket1, &QTcpSocket::errorOccurred, this, &TMSTCP_Form::ClientSocket1Error);
    connect(ClientSocket1, &QTcpSocket::readyRead, this, &TMSTCP_Form::ClientSocket1Read);
    FormCreate();
}

TMSTCP_Form::~TMSTCP_Form()
{
    // The socket goes after this window's controls and reports its
    // disconnect as it goes: nothing of that may reach the handlers.
    QObject::disconnect(ClientSocket1, nullptr, this, nullptr);
    ClientSocket1->abort();
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
    framer_.clear();
    cutNote_.clear();
    traffic_.set_link({.peer = Traffic_endpoint::parse(host_.toStdString(), quint16(port_)).value_or(Traffic_endpoint{})});
    ClientSocket1->connectToHost(host_, quint16(port_));
}

void TMSTCP_Form::ClientSocket1Connect()
{
    show_status_message("Connect To: " + ClientSocket1->peerName().toStdString() + " OK");
    traffic_.connected(traffic_link(*ClientSocket1));
    BitBtn3->setEnabled(false);
    BitBtn4->setEnabled(true);
}

void TMSTCP_Form::BitBtn4Click()
{
    BitBtn3->setEnabled(true);
    BitBtn4->setEnabled(false);
    ClientSocket1->abort();  // a connected socket reports the disconnect
    host_.clear();
    port_ = 0;
    framer_.clear();
}

void TMSTCP_Form::ClientSocket1Disconnect()
{
    show_status_message("Disconnect OK ");
    BitBtn3->setEnabled(true);
    BitBtn4->setEnabled(false);
    host_.clear();
    port_ = 0;
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
    BitBtn3->setEnabled(true);
    BitBtn4->setEnabled(false);
    {
        // Closing after an error is part of the error, not a second notice.
        QSignalBlocker quiet(ClientSocket1);
        ClientSocket1->abort();
    }
    host_.clear();
    port_ = 0;
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
    return prepare_tcp_query(function, uint8_t(device), address, count, value, &length_, query_);
}

int32_t TMSTCP_Form::prepareBlock(const WriteJob &job)
{
    length_ = 0;
    std::memset(query_, 0, sizeof query_);
    if (job.function == 15)
        return prepare_tcp_write_coils(uint8_t(job.device), job.address, uint16_t(job.bits.size()), job.bits.data(),
                                       &length_, query_);
    return prepare_tcp_write_registers(uint8_t(job.device), job.address, uint16_t(job.words.size()),
                                       job.words.data(), &length_, query_);
}

void TMSTCP_Form::dropCutAnswer(const char *why)
{
    const std::string line = drop_cut_answer(framer_, why, traffic_);
    if (!line.empty())
        Memo2->add(line);
}

void TMSTCP_Form::SendQuery()
{
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
    ClientSocket1->write(reinterpret_cast<const char *>(query_), length_);
    if (expected_ != 0)
        ClientSocket1->flush();  // polling: out now, not at the next turn of the event loop
    traffic_.tx(query_, size_t(length_));
}

void TMSTCP_Form::ClientSocket1Read()
{
    const QByteArray data = ClientSocket1->readAll();
    if (data.isEmpty())
        return;  // a failed read leaves nothing to decode
    show_status_message(strformat("Receive data length= %d", int(data.size())));
    framer_.append(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));

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
    // After the loop: the next request may go out from there, and a request
    // going out drops what is left in the framer.
    if (ended)
        exchangeOver();
}

void TMSTCP_Form::FormClose()
{
    station_closed(MasterTcp);
    // A connection, or one being made, goes with the window.
    QSignalBlocker quiet(ClientSocket1);
    ClientSocket1->abort();
}
