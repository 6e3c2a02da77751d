// The far end of a socat pty pair, written and read directly by a test (or
// a test thread) without the link library.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QThread>
#include <fcntl.h>
#include <unistd.h>

#include "Peers.h"

// The far end of the pair.
class Line {
public:
    explicit Line(const QString &path) { fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK); }
    ~Line()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Writes everything, waiting while the line is full (at most ms).
    bool write(const QByteArray &b, int ms = 3000)
    {
        QElapsedTimer t;
        t.start();
        qsizetype done = 0;
        while (done < b.size() && t.elapsed() < ms) {
            const ssize_t n = ::write(fd_, b.constData() + done, size_t(b.size() - done));
            if (n > 0)
                done += n;
            else
                QThread::msleep(1);
        }
        return done == b.size();
    }
    QByteArray readNow()
    {
        QByteArray all;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0)
            all.append(buf, qsizetype(n));
        return all;
    }
    // Collects (the event loop running) until want bytes have come or ms passed.
    QByteArray readFor(int want, int ms)
    {
        QByteArray all;
        waitUntil(
            [&] {
                all += readNow();
                return all.size() >= want;
            },
            ms);
        return all;
    }

private:
    int fd_ = -1;
};
