#include "Slave_tcp.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include "Gui_services.h"
#include "Notices.h"
#include "Strformat.h"
#include "Traffic_socket.h"
#include "Udp_message.h"

namespace {

// The server listens on IPv4 and IPv6 at once, so an IPv4 client arrives as
// an IPv4-mapped IPv6 address (::ffff:127.0.0.1); the operator knows it by
// its IPv4 form.
QString remoteHost(const QTcpSocket *socket)
{
    const QHostAddress a = socket->peerAddress();
    bool isV4 = false;
    const quint32 v4 = a.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : a.toString();
}

}  // namespace

TSLTCP_Form::TSLTCP_Form(QWidget *parent)
    : SlaveStationForm("Modbus/TCP Slave Server Simulation Program", kSlaveTcpProfile, parent)
{
    setObjectName("SLTCP_Form");
    resize(716, 387);

    BitBtn1 = addButton("BitBtn1", "Open Server");
    BitBtn2 = addButton("BitBtn2", "Close Server");
    FramingLabel = new QLabel(QStringLiteral("Framing"), Panel1);
    FramingLabel->setObjectName("FramingLabel");
    Framing = new QComboBox(Panel1);
    Framing->setObjectName("Framing");
    Framing->addItems({QStringLiteral("Modbus/TCP"), QStringLiteral("RTU over TCP"), QStringLiteral("Modbus/UDP")});
    FramingLabel->setBuddy(Framing);
    panel1Layout()->addSpacing(12);
    panel1Layout()->addWidget(FramingLabel);
    panel1Layout()->addWidget(Framing);
    panel1Layout()->addStretch(1);
    streamTimer_ = new QTimer(this);
    streamTimer_->setSingleShot(true);
    connect(streamTimer_, &QTimer::timeout, this, &TSLTCP_Form::streamTimerTimer);

    ServerSocket1 = new QTcpServer(this);
    ServerSocket1->setObjectName("ServerSocket1");
    connect(ServerSocket1, &QTcpServer::newConnection, this, &TSLTCP_Form::acceptClients);
    connect(BitBtn1, &QPushButton::clicked, this, &TSLTCP_Form::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TSLTCP_Form::BitBtn2Click);

    BitBtn1->setEnabled(true);
    BitBtn2->setEnabled(false);
    // Applied at "Open Server": an open server keeps the framing it was opened with.
    setupFields().add_choice("framing", Framing, [this](const Setup_value &v) {
        return serverOpen() && std::get<std::string>(v) != Framing->currentText().toStdString()
                   ? std::string("the server is open: close it before changing its framing")
                   : std::string();
    });
}

TSLTCP_Form::~TSLTCP_Form()
{
    // Sockets are children of the server; make sure none calls back into a
    // half-destroyed window.
    for (auto &c : clients_)
        c.first->disconnect(this);
    clients_.clear();
}

bool TSLTCP_Form::serverOpen() const { return BitBtn2->isEnabled(); }

QString TSLTCP_Form::framingName() const
{
    switch (openFraming_) {
    case FramingModbusTcp: break;
    case FramingRtuOverTcp: return QStringLiteral("RTU over TCP");
    case FramingUdp: return QStringLiteral("Modbus/UDP");
    }
    return QStringLiteral("Modbus/TCP");
}

void TSLTCP_Form::BitBtn1Click()
{
    Memo1->clear();
    Memo2->clear();
    openFraming_ = FramingItem(std::clamp(Framing->currentIndex(), 0, int(FramingUdp)));
    const std::string name = framingName().toStdString();
    if (openFraming_ == FramingUdp) {
        UdpSocket1 = new QUdpSocket(this);
        UdpSocket1->setObjectName("UdpSocket1");
        // Not shared: a port another program serves is refused, as TCP's is.
        if (!UdpSocket1->bind(QHostAddress::Any, quint16(listenPort_), QAbstractSocket::DontShareAddress)) {
            show_message_box(strformat("%s Server cannot bind port %d: %s", name.c_str(), listenPort_,
                                       UdpSocket1->errorString().toLocal8Bit().constData()),
                             "Quillan");
            closeUdp();
            return;
        }
        connect(UdpSocket1, &QUdpSocket::readyRead, this, &TSLTCP_Form::serveDatagrams);
    } else if (!ServerSocket1->listen(QHostAddress::Any, quint16(listenPort_))) {
        show_message_box(strformat("%s Server cannot listen on port %d: %s", name.c_str(), listenPort_,
                                   ServerSocket1->errorString().toLocal8Bit().constData()),
                         "Quillan");
        return;
    }
    setServingProfile(openFraming_ == FramingRtuOverTcp ? kSlaveRtuProfile : kSlaveTcpProfile);
    Framing->setEnabled(false);
    BitBtn1->setEnabled(false);
    BitBtn2->setEnabled(true);
    show_status_message(name + " Server Open....");
    switch (openFraming_) {
    case FramingModbusTcp: traffic.event(strformat("server listening on port %d", listenPort_)); break;
    case FramingRtuOverTcp: traffic.event(strformat("server listening on port %d, RTU over TCP", listenPort_)); break;
    case FramingUdp: traffic.event(strformat("server bound to UDP port %d", listenPort_)); break;
    }
    Memo1->add(framingName() + QStringLiteral(" Server Open...."));
}

void TSLTCP_Form::BitBtn2Click()
{
    ServerSocket1->close();
    dropClients();
    closeUdp();
    Framing->setEnabled(true);
    BitBtn1->setEnabled(true);
    BitBtn2->setEnabled(false);
    show_status_message(framingName().toStdString() + " Server Close.....");
    traffic.event("server closed");
    Memo1->add(framingName() + QStringLiteral(" Server Close....."));
}

void TSLTCP_Form::closeUdp()
{
    if (!UdpSocket1)
        return;
    UdpSocket1->disconnect(this);
    UdpSocket1->close();
    UdpSocket1->deleteLater();
    UdpSocket1 = nullptr;
    udpLater_.clear();
    udpLaterTo_.clear();
}

void TSLTCP_Form::dropClients()
{
    std::vector<QTcpSocket *> sockets;
    for (auto &c : clients_)
        sockets.push_back(c.first);
    for (QTcpSocket *s : sockets)
        s->abort();  // reports its disconnection, which forgets it
    for (QTcpSocket *s : sockets) {
        if (clients_.erase(s)) {
            s->disconnect(this);
            s->deleteLater();
        }
    }
}

void TSLTCP_Form::acceptClients()
{
    while (QTcpSocket *s = ServerSocket1->nextPendingConnection()) {
        Traffic_link link = traffic_link(*s);
        if (openFraming_ == FramingRtuOverTcp)
            link.carrier = Traffic_carrier::Rtu_over_tcp;
        clients_.emplace(s, Client{.framer = TcpFramer(),
                                   .rtu = openFraming_ == FramingRtuOverTcp ? std::make_unique<RtuStream>() : nullptr,
                                   .host = remoteHost(s),
                                   .closing = false,
                                   .link = link,
                                   .later = {}});
        // What a client sends is taken from the network only as fast as it
        // takes its answers (see ServerSocket1ClientRead).
        s->setReadBufferSize(kClientReadBuffer);
        connect(s, &QTcpSocket::readyRead, this, [this, s] { ServerSocket1ClientRead(s); });
        connect(s, &QTcpSocket::bytesWritten, this, [this, s] {
            if (s->bytesToWrite() <= kAnswerBacklog)
                ServerSocket1ClientRead(s);  // requests held back meanwhile, if any
        });
        connect(s, &QTcpSocket::disconnected, this, [this, s] { ServerSocket1ClientDisconnect(s); });
        connect(s, &QTcpSocket::errorOccurred, this, [this, s](QAbstractSocket::SocketError e) {
            // The peer closing its end is an ordinary disconnection.
            if (e != QAbstractSocket::RemoteHostClosedError)
                ServerSocket1ClientError(s, int(e));
        });
        ServerSocket1ClientConnect(s);
    }
}

void TSLTCP_Form::ServerSocket1ClientConnect(QTcpSocket *socket)
{
    const auto it = clients_.find(socket);
    Memo1->add((it != clients_.end() ? it->second.host : remoteHost(socket)) + QStringLiteral("Client Connect"));
    traffic.event("connected", it != clients_.end() ? it->second.link : traffic_link(*socket));
}

void TSLTCP_Form::ServerSocket1ClientDisconnect(QTcpSocket *socket)
{
    const auto it = clients_.find(socket);
    if (it == clients_.end())
        return;
    const QString host = it->second.host;
    traffic.event("disconnected", it->second.link);
    clients_.erase(it);
    Memo1->add(host + QStringLiteral("Client DisConnect"));
    socket->disconnect(this);
    socket->deleteLater();
}

void TSLTCP_Form::ServerSocket1ClientError(QTcpSocket *socket, int errorCode)
{
    const std::string text = strformat("TCP Server Client error rtc=%d", errorCode);
    traffic.event(text, clients_.count(socket) ? clients_.at(socket).link : Traffic_link{});
    memoAdd(Memo1, text);
    show_message_box(text, "Quillan");
}

void TSLTCP_Form::ServerSocket1ClientRead(QTcpSocket *socket)
{
    serveWaiting(socket);
    // The answers go out now rather than at the next turn of the event loop:
    // a master waiting for its answer is not kept waiting for the window's
    // other work. A client that does not read them is left to TCP as before.
    if (clients_.count(socket) && socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() > 0)
        socket->flush();
    keepServing();
}

void TSLTCP_Form::keepServing()
{
    // While requests keep coming, the window serves them straight from the
    // sockets, one ppoll() for all its clients, for a short burst before it
    // goes back to the event loop: under load a request then costs what it
    // costs a plain server, not a turn of the event loop. With a core to
    // spare for each client it also looks a moment for the next request
    // (a master asking as fast as it gets its answers finds the station
    // awake). The burst is short, so the memos, grids and buttons keep up.
    // A client with anything unusual (a disconnection, an error, answers
    // backing up or held back, bytes in the socket's own buffer) is left to
    // the socket and the event loop as before.
    using Clock = std::chrono::steady_clock;
    static const size_t spareCores = size_t(std::max(0, QThread::idealThreadCount() - 1));
    if (keepingOn_ || clients_.empty() || clients_.size() > kBurstClients)
        return;
    keepingOn_ = true;
    const bool look = clients_.size() <= spareCores;
    const Clock::time_point burstEnd = Clock::now() + kBurst;
    Clock::time_point idleEnd = Clock::now() + kIdleLook;
    std::vector<pollfd> fds;
    std::vector<QTcpSocket *> who;
    std::vector<QTcpSocket *> leftToQt;
    uint8_t chunk[kClientReadChunk];
    while (Clock::now() < burstEnd) {
        fds.clear();
        who.clear();
        for (const auto &[socket, client] : clients_) {
            if (client.closing || !client.later.empty() || socket->state() != QAbstractSocket::ConnectedState ||
                socket->bytesToWrite() > 0 || socket->bytesAvailable() > 0 ||
                std::find(leftToQt.begin(), leftToQt.end(), socket) != leftToQt.end())
                continue;
            fds.push_back({.fd = int(socket->socketDescriptor()), .events = POLLIN, .revents = 0});
            who.push_back(socket);
        }
        if (fds.empty())
            break;
        // Looking: no waiting, only yielding the core between looks. Else
        // the wait for the next request sleeps, to the burst's end at most.
        timespec wait{};
        if (!look || Clock::now() >= idleEnd) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(burstEnd - Clock::now()).count();
            if (left <= 0)
                break;
            wait.tv_nsec = long(left);
        }
        const int ready = ::ppoll(fds.data(), nfds_t(fds.size()), &wait, nullptr);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0) {
            if (wait.tv_nsec > 0)
                break;  // slept to the burst's end
            sched_yield();
            continue;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            QTcpSocket *socket = who[i];
            const auto it = clients_.find(socket);  // serving another may have ended this one
            if (it == clients_.end())
                continue;
            // An RTU receiver takes what it has room for; the rest waits in the socket.
            const size_t want = it->second.rtu ? std::min(it->second.rtu->room(), sizeof chunk) : sizeof chunk;
            const ssize_t n = want > 0 && (fds[i].revents & POLLIN) && !(fds[i].revents & (POLLERR | POLLHUP | POLLNVAL))
                                  ? ::recv(fds[i].fd, chunk, want, MSG_DONTWAIT)
                                  : 0;
            if (n > 0) {
                if (it->second.rtu)
                    it->second.rtu->append(chunk, size_t(n), nowMs());
                else
                    it->second.framer.append(chunk, size_t(n));
                serveWaiting(socket);
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                leftToQt.push_back(socket);  // the end of its stream, or a failure: the socket reports it
            }
        }
        idleEnd = Clock::now() + kIdleLook;
    }
    keepingOn_ = false;
}

void TSLTCP_Form::serveWaiting(QTcpSocket *socket)
{
    if (const auto c = clients_.find(socket); c != clients_.end() && c->second.rtu) {
        serveRtuWaiting(socket);
        return;
    }
    std::vector<uint8_t> request;
    // Every complete request that arrived is served, in order; each read of
    // the framer consumes bytes, so this ends with what arrived. A client
    // that leaves more than kAnswerBacklog of its answers unsent (it does not
    // read them) is served no further until they are back under it: its
    // requests wait meanwhile (in its framer and the socket's bounded read
    // buffer, TCP holding back the rest), and bytesWritten resumes here.
    for (;;) {
        auto it = clients_.find(socket);
        if (it == clients_.end())
            return;
        // A full queue of delayed answers holds the client back the same
        // way; sendDueAnswers resumes it.
        if (it->second.closing || socket->bytesToWrite() > kAnswerBacklog || it->second.later.full())
            return;
        unsigned badLength = 0;
        const TcpFramer::Status st = it->second.framer.next(request, &badLength);
        if (st == TcpFramer::Status::NeedMore) {
            const QByteArray chunk = socket->read(kClientReadChunk);
            if (chunk.isEmpty())
                return;
            it->second.framer.append(reinterpret_cast<const uint8_t *>(chunk.constData()), size_t(chunk.size()));
            continue;
        }
        if (st == TcpFramer::Status::Bad) {
            memoAdd(Memo1, strformat("Mod Slave TCP length field error len=%u, connection closed", badLength));
            traffic.dropped(request.data(), request.size(), Traffic_drop::Bad_length, it->second.link);
            ++bench.stats.err;
            statsChanged();
            it->second.closing = true;
            // Delayed answers still due go first; sendDueAnswers closes then.
            if (it->second.later.empty())
                closeAfterAnswers(socket);
            return;
        }
        traffic.rx(request.data(), request.size(), it->second.link);
        serve(
            request.data(), request.size(),
            [this, socket, link = it->second.link](const std::vector<uint8_t> &response) {
                sendAnswer(socket, response.data(), response.size());
                traffic.tx(response.data(), response.size(), link);
            },
            &it->second.later, &it->second.link);
    }
}

void TSLTCP_Form::serveRtuWaiting(QTcpSocket *socket)
{
    std::vector<uint8_t> request;
    uint8_t chunk[kClientReadChunk];
    // As serveWaiting: every complete request, in order, while the client
    // takes its answers. Bytes the socket holds go to the receiver before it
    // is asked, so that a request whose rest has come is never given up as
    // unfinished.
    for (;;) {
        auto it = clients_.find(socket);
        if (it == clients_.end())
            return;
        Client &c = it->second;
        if (socket->bytesToWrite() > kAnswerBacklog || c.later.full())
            return;
        if (c.rtu->room() > 0 && socket->bytesAvailable() > 0) {
            const qint64 n = socket->read(reinterpret_cast<char *>(chunk), qint64(std::min(c.rtu->room(), sizeof chunk)));
            if (n > 0)
                c.rtu->append(chunk, size_t(n), nowMs());
        }
        const RtuStream::Outcome o = c.rtu->next(nowMs());
        switch (o.kind) {
        case RtuStream::Kind::Need_more:
            if (c.rtu->room() > 0 && socket->bytesAvailable() > 0)
                continue;
            armStreamTimer(c.rtu->deadlineMs());
            return;
        case RtuStream::Kind::Request:
        case RtuStream::Kind::Crc_error:
            // A copy: serving may end the connection and its receiver.
            request.assign(o.data, o.data + o.n);
            traffic.rx(request.data(), request.size(), c.link);
            serve(
                request.data(), request.size(),
                [this, socket, link = c.link](const std::vector<uint8_t> &response) {
                    sendAnswer(socket, response.data(), response.size());
                    traffic.tx(response.data(), response.size(), link);
                },
                &c.later, &c.link);
            break;
        case RtuStream::Kind::Garbage:
        case RtuStream::Kind::Timed_out: {
            const std::string text = rtu_stream_drop_text(o.kind, o.n);
            memoAdd(Memo1, "Mod Slave " + text);
            traffic.event(text, c.link, std::string_view(reinterpret_cast<const char *>(o.data), o.n));
            ++bench.stats.err;
            statsChanged();
            break;
        }
        }
    }
}

void TSLTCP_Form::armStreamTimer(int64_t deadlineMs)
{
    if (deadlineMs == 0 || (streamTimer_->isActive() && streamDue_ <= deadlineMs))
        return;
    streamDue_ = deadlineMs;
    streamTimer_->start(int(std::clamp<int64_t>(deadlineMs - nowMs(), 0, RtuStream::kPartialLimitMs)));
}

void TSLTCP_Form::streamTimerTimer()
{
    // Serving may end connections (and forget their clients): work from a copy.
    std::vector<QTcpSocket *> due;
    const int64_t now = nowMs();
    for (const auto &[socket, client] : clients_)
        if (client.rtu && client.rtu->deadlineMs() != 0 && client.rtu->deadlineMs() <= now)
            due.push_back(socket);
    for (QTcpSocket *s : due)
        if (clients_.count(s))
            ServerSocket1ClientRead(s);
    // The next one to give up, of all the clients (the one this timer was
    // armed for may have finished its request meanwhile).
    for (const auto &[socket, client] : clients_)
        if (client.rtu)
            armStreamTimer(client.rtu->deadlineMs());
}

void TSLTCP_Form::serveDatagrams()
{
    // A bounded number per turn of the event loop, so a flood never holds
    // the window; the socket tells again of those left.
    for (int i = 0; i < kDatagramsPerTurn && UdpSocket1 && UdpSocket1->hasPendingDatagrams(); ++i) {
        const qint64 size = UdpSocket1->pendingDatagramSize();
        const QNetworkDatagram d = UdpSocket1->receiveDatagram(kDatagramKept);
        const QByteArray bytes = d.data();
        const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
        const size_t n = size_t(std::max<qint64>(size, bytes.size()));
        const Traffic_link link = traffic_link(d, *UdpSocket1);
        // Whatever the datagram holds, only the bytes read are looked at.
        const Udp_message m = n <= size_t(bytes.size()) ? udp_message_check(data, n) : Udp_message::Long;
        if (m != Udp_message::Whole) {
            const std::string text = udp_refusal_text(m, n);
            memoAdd(Memo1, "Mod Slave " + text);
            traffic.event(text, link, std::string_view(bytes.constData(), size_t(bytes.size())));
            ++bench.stats.err;
            statsChanged();
            continue;
        }
        traffic.rx(data, n, link);
        const QHostAddress to = d.senderAddress();
        const quint16 port = quint16(d.senderPort());
        const size_t queued = udpLater_.size();
        serve(
            data, n,
            [this, to, port, link](const std::vector<uint8_t> &response) {
                sendDatagram(to, port, response.data(), response.size());
                traffic.tx(response.data(), response.size(), link);
            },
            &udpLater_, &link);
        if (udpLater_.size() > queued)
            udpLaterTo_.push_back({.address = to, .port = port, .link = link});
    }
}

void TSLTCP_Form::sendDatagram(const QHostAddress &to, quint16 port, const uint8_t *data, size_t n)
{
    if (UdpSocket1)
        UdpSocket1->writeDatagram(reinterpret_cast<const char *>(data), qint64(n), to, port);
}

void TSLTCP_Form::sendAnswer(QTcpSocket *socket, const uint8_t *data, size_t n)
{
    // With nothing queued before it, an answer goes straight to the kernel:
    // through the socket's write buffer, every answer would arm and disarm
    // its write notifier, two more turns of the event loop per request. What
    // the kernel does not take (or any failure, which the socket then
    // reports) goes through the socket as before, and answers stay in order.
    size_t sent = 0;
    if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState) {
        const ssize_t w = ::send(int(socket->socketDescriptor()), data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0)
            sent = size_t(w);
    }
    if (sent < n)
        socket->write(reinterpret_cast<const char *>(data + sent), qint64(n - sent));
}

void TSLTCP_Form::sendDueAnswers()
{
    // Sending may end a connection (and forget its client): work from a copy.
    std::vector<QTcpSocket *> waiting;
    for (auto &c : clients_)
        if (!c.second.later.empty())
            waiting.push_back(c.first);
    const int64_t now = nowMs();
    for (QTcpSocket *s : waiting) {
        auto it = clients_.find(s);
        if (it == clients_.end())
            continue;
        for (const std::vector<uint8_t> &answer : it->second.later.takeDue(now)) {
            sendAnswer(s, answer.data(), answer.size());
            traffic.tx(answer.data(), answer.size(), it->second.link);
        }
        if (!it->second.later.empty())
            continue;
        if (it->second.closing)
            closeAfterAnswers(s);
        else
            ServerSocket1ClientRead(s);  // requests held back by a full queue, if any
    }
    for (auto &c : clients_)
        if (!c.second.later.empty())
            armAnswerTimer(c.second.later.nextDue());
    if (!udpLater_.empty()) {
        for (const std::vector<uint8_t> &answer : udpLater_.takeDue(now)) {
            const DatagramTo to = udpLaterTo_.front();
            udpLaterTo_.pop_front();
            sendDatagram(to.address, to.port, answer.data(), answer.size());
            traffic.tx(answer.data(), answer.size(), to.link);
        }
        if (!udpLater_.empty())
            armAnswerTimer(udpLater_.nextDue());
    }
}

void TSLTCP_Form::closeAfterAnswers(QTcpSocket *socket)
{
    // The requests before the bad header have been answered; their answers
    // may still wait in the socket. Closing it gracefully sends them first,
    // where abort() would throw them away. This may report the disconnection
    // (and so forget the client) at once.
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        QTimer::singleShot(kCloseGraceMs, socket, [socket] { socket->abort(); });
}

void TSLTCP_Form::FormClose()
{
    if (closed_)
        return;
    closed_ = true;
    station_closed(SlaveTcp);
    if (serverOpen()) {
        ServerSocket1->close();
        dropClients();
        closeUdp();
    }
}

void TSLTCP_Form::closeEvent(QCloseEvent *event)
{
    FormClose();
    QWidget::closeEvent(event);
}
