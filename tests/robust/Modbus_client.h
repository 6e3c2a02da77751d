// A blocking Modbus/TCP client for test threads (no event loop needed), and
// a watch on the GUI thread's event loop that measures its longest stall.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

// Frames a protocol data unit behind the 7-byte header.
inline QByteArray mbap(quint16 transaction, quint8 unit, const QByteArray &pdu)
{
    const int length = int(pdu.size()) + 1;
    QByteArray h;
    h.append(char(transaction >> 8)).append(char(transaction & 0xFF)).append('\0').append('\0');
    h.append(char(length >> 8)).append(char(length & 0xFF)).append(char(unit));
    return h + pdu;
}

inline QByteArray be16(unsigned v)
{
    QByteArray b;
    b.append(char((v >> 8) & 0xFF)).append(char(v & 0xFF));
    return b;
}

class BlockingClient {
public:
    bool connectTo(quint16 port, int ms = 5000)
    {
        socket_.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        return socket_.waitForConnected(ms);
    }
    QTcpSocket &socket() { return socket_; }

    bool send(const QByteArray &bytes, int ms = 5000)
    {
        socket_.write(bytes);
        while (socket_.bytesToWrite() > 0)
            if (!socket_.waitForBytesWritten(ms))
                return false;
        return true;
    }
    // One whole message framed by its length field, or false after ms.
    bool receive(QByteArray &out, int ms = 5000)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            buf_ += socket_.readAll();
            if (buf_.size() >= 6) {
                const int total = 6 + (uchar(buf_[4]) << 8 | uchar(buf_[5]));
                if (buf_.size() >= total) {
                    out = buf_.left(total);
                    buf_.remove(0, total);
                    return true;
                }
            }
            const qint64 left = ms - t.elapsed();
            if (left <= 0 || socket_.state() != QAbstractSocket::ConnectedState)
                return false;
            socket_.waitForReadyRead(int(std::min<qint64>(left, 200)));
        }
    }
    bool transact(const QByteArray &request, QByteArray &answer, int ms = 5000)
    {
        return send(request, ms) && receive(answer, ms);
    }
    // Waits until the peer has closed the connection.
    bool waitClosed(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (socket_.state() == QAbstractSocket::ConnectedState && t.elapsed() < ms) {
            socket_.waitForReadyRead(50);
            buf_ += socket_.readAll();
        }
        return socket_.state() != QAbstractSocket::ConnectedState;
    }
    QByteArray leftover() { return buf_ + socket_.readAll(); }

private:
    QTcpSocket socket_;
    QByteArray buf_;
};

// Ticks every 5 ms on the thread it lives in and keeps the longest gap
// between two ticks beyond the period: how long the event loop was held.
class StallWatch : public QObject {
public:
    StallWatch()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, [this] {
            const qint64 now = clock_.nsecsElapsed();
            if (last_ >= 0)
                longest_ = std::max(longest_, now - last_ - 5000000);
            last_ = now;
        });
        clock_.start();
        timer_.start();
    }
    double longestMs() const { return double(longest_) / 1e6; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = -1;
    qint64 longest_ = 0;
};
