// The Master TCP station: a Modbus/TCP client that reads and writes a device
// behind the 7-byte Modbus/TCP header.
//
// Its Framing, applied at "open" and fixed while open, may instead send RTU
// frames on the connection (RTU over TCP: an answer is whole at its expected
// length with a right CRC, or is checked as it stands at the time-out), or
// Modbus/TCP messages in UDP datagrams to one peer (Modbus/UDP).
#pragma once

#include <QAbstractSocket>
#include <QString>
#include <string>
#include <vector>

#include "Master_window.h"
#include "Tcp_framer.h"

class QComboBox;
class QTcpSocket;
class QUdpSocket;

class TMSTCP_Form : public MasterWindow {
    Q_OBJECT
public:
    explicit TMSTCP_Form(QWidget *parent = nullptr);
    ~TMSTCP_Form() override;

    // The items of Framing, in order.
    enum FramingItem { FramingModbusTcp, FramingRtuOverTcp, FramingUdp };
    // The item the link was last opened with.
    FramingItem openFraming() const { return framing_; }

public slots:
    void FormCreate();
    void FormClose() override;
    void BitBtn3Click();  // "open"
    void BitBtn4Click();  // "close"
    void ClientSocket1Connect();
    void ClientSocket1Disconnect();
    void ClientSocket1Error(QAbstractSocket::SocketError error);
    void ClientSocket1Read();
    void UdpSocket1Connect();
    void UdpSocket1Error(QAbstractSocket::SocketError error);
    void UdpSocket1Read();

protected:
    bool linkOpen() const override;
    const char *notOpenText() const override { return "TCP Port is not open yet !!!!!"; }
    const char *prepareErrorText() const override { return "Prepare Modbus/TCP Query Message error !!!"; }
    int32_t prepareQuery(uint32_t function, uint16_t device, uint16_t address, uint16_t count,
                         uint16_t value) override;
    int32_t prepareBlock(const WriteJob &job) override;
    void SendQuery() override;
    bool answerTimedOut() override;

    // The scan for devices: this link, in the framing opened.
    Scan_transport scanTransport() const override;
    std::string scanSettingText() const override;
    uint16_t scanTransaction() const override { return uint16_t(transaction_ == 0xFFFF ? 1 : transaction_ + 1); }
    void scanTransactionUsed(uint16_t next) override { transaction_ = uint16_t(next - 1); }
    void send(const uint8_t *bytes, size_t n) override;
    void scanTake() override;

private:
    QLineEdit *Edit1, *MaskEdit4;
    QPushButton *BitBtn3, *BitBtn4;
    QSpinBox *TimeoutMs;
    QComboBox *Framing;
    QTcpSocket *ClientSocket1;
    QUdpSocket *UdpSocket1;
    FramingItem framing_ = FramingModbusTcp;

    // Modbus/TCP messages out of the framer: logged, decoded, late ones
    // dropped. datagram: the bytes were one datagram, whose rest can never
    // be completed.
    void takeMessages(bool datagram);
    // The link is gone (closed, lost, failed): the buttons and the drop-down
    // as before "open".
    void linkClosed();
    // RTU over TCP: a request and the bytes of its answer.
    void sendRtu();
    void takeRtu(const QByteArray &data);
    // Logs, decodes and counts a whole RTU answer.
    void showRtu(const uint8_t *frame, int32_t n);
    std::vector<uint8_t> rtuHeld_;  // the answer so far

    QString host_;  // host and port last used for connecting
    int port_ = 0;
    uint8_t query_[512] = {0};
    int32_t length_ = 0;
    // Drops what is left of an answer, saying so in Memo2.
    void dropCutAnswer(const char *why);

    // Polled requests number their transactions, so that an answer that
    // comes after its time-out is told from the answer of the next request;
    // one-shot requests keep transaction 0 and take whatever comes.
    uint16_t transaction_ = 0;
    uint16_t expected_ = 0;  // the transaction awaited; 0: any

    TcpFramer framer_;  // answers are cut from the stream by their length field
    // The line about an answer dropped when this request went out, shown
    // again above this request's answer.
    std::string cutNote_;
};

// The operating system's error number for a socket error (ECONNREFUSED for a
// refused connection, ...), as the station reports it.
int socket_error_number(QAbstractSocket::SocketError error);
