// The Slave TCP station: a Modbus/TCP server serving any number of clients
// from its four tables, each request answered on its own connection.
//
// Its Framing, applied at "Open Server", may instead take RTU frames on the
// connections (RTU over TCP, served as the Slave RTU station serves a line,
// split by RtuStream), or Modbus/TCP messages in UDP datagrams on the same
// port (Modbus/UDP, one answer datagram to the sender of each).
#pragma once

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>
#include <chrono>
#include <deque>
#include <memory>
#include <unordered_map>

#include "Rtu_stream.h"
#include "Slave_station.h"
#include "Tcp_framer.h"

class QComboBox;
class QLabel;
class QTcpServer;
class QTcpSocket;
class QUdpSocket;

class TSLTCP_Form : public SlaveStationForm {
    Q_OBJECT
public:
    explicit TSLTCP_Form(QWidget *parent = nullptr);
    ~TSLTCP_Form() override;

    // The port "Open Server" listens on; 502 unless a test sets another.
    void setListenPort(int port) { listenPort_ = port; }
    int listenPort() const { return listenPort_; }
    bool serverOpen() const;
    int clientCount() const { return int(clients_.size()); }

    // The items of Framing, in order.
    enum FramingItem { FramingModbusTcp, FramingRtuOverTcp, FramingUdp };
    // The item the server was last opened with.
    FramingItem openFraming() const { return openFraming_; }

    QPushButton *BitBtn1;
    QPushButton *BitBtn2;
    QLabel *FramingLabel;
    QComboBox *Framing;
    QTcpServer *ServerSocket1;
    QUdpSocket *UdpSocket1 = nullptr;  // while open with Modbus/UDP

public slots:
    void BitBtn1Click();
    void BitBtn2Click();
    void ServerSocket1ClientConnect(QTcpSocket *socket);
    void ServerSocket1ClientDisconnect(QTcpSocket *socket);
    void ServerSocket1ClientError(QTcpSocket *socket, int errorCode);
    void ServerSocket1ClientRead(QTcpSocket *socket);

protected:
    void closeEvent(QCloseEvent *event) override;
    void FormClose();
    void sendDueAnswers() override;

private:
    void acceptClients();
    // Serves the complete requests a client sent, as far as its backlog allows.
    void serveWaiting(QTcpSocket *socket);
    void dropClients();
    void sendAnswer(QTcpSocket *socket, const uint8_t *data, size_t n);
    // Serves what the clients send next while they keep sending at once.
    void keepServing();
    // Ends a connection whose stream can no longer be framed, once the
    // answers already written have gone out.
    void closeAfterAnswers(QTcpSocket *socket);
    // RTU over TCP: serveWaiting for a client whose requests are RTU frames.
    void serveRtuWaiting(QTcpSocket *socket);
    // Arms streamTimer_ for an unfinished RTU request to give up at
    // deadlineMs, unless it goes off sooner already.
    void armStreamTimer(int64_t deadlineMs);
    void streamTimerTimer();
    // Modbus/UDP: the datagrams waiting, kDatagramsPerTurn at most.
    void serveDatagrams();
    void sendDatagram(const QHostAddress &to, quint16 port, const uint8_t *data, size_t n);
    void closeUdp();
    QString framingName() const;

    // Unsent answers a client may leave before it is served further, and
    // how much of what it sends is held for it.
    static constexpr qint64 kAnswerBacklog = 64 * 1024;
    static constexpr qint64 kClientReadBuffer = 64 * 1024;
    static constexpr qint64 kClientReadChunk = 4096;
    // How long a closing connection may take to send its last answers before
    // it is dropped: a client that never reads them must not keep it forever.
    static constexpr int kCloseGraceMs = 5000;
    // keepServing: how long it looks for a next request, how long at most
    // in all, and up to how many clients it polls itself.
    static constexpr std::chrono::microseconds kIdleLook{100};
    static constexpr std::chrono::microseconds kBurst{2000};
    static constexpr size_t kBurstClients = 64;
    // Datagrams served per turn of the event loop, and how much of one is
    // read (more than any message; its length is known all the same).
    static constexpr int kDatagramsPerTurn = 256;
    static constexpr qint64 kDatagramKept = 512;

    struct Client {
        TcpFramer framer;
        std::unique_ptr<RtuStream> rtu{};  // RTU over TCP: in place of framer
        QString host;  // as the connect line named it
        bool closing = false;  // nothing more it sends is served
        Traffic_link link{};   // its ends, as the traffic history names them
        // Its answers delayed on purpose, in the order of its requests.
        AnswerQueue later;
    };

    int listenPort_ = 502;
    bool closed_ = false;
    bool keepingOn_ = false;
    FramingItem openFraming_ = FramingModbusTcp;
    std::unordered_map<QTcpSocket *, Client> clients_;
    QTimer *streamTimer_;
    int64_t streamDue_ = 0;
    // Modbus/UDP answers delayed on purpose, and where each goes.
    struct DatagramTo {
        QHostAddress address;
        quint16 port;
        Traffic_link link;
    };
    AnswerQueue udpLater_;
    std::deque<DatagramTo> udpLaterTo_;
};
