// Helpers for end-to-end tests: a socat pseudo-terminal pair, a peer process
// (pymodbus, mbpoll) that is always ended by its PID, and a free loopback port.
#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <sys/types.h>

// A peer process started by the test and ended (SIGTERM, then SIGKILL) by its
// own PID when the object goes.
class PeerProcess {
public:
    PeerProcess() = default;
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;
    ~PeerProcess() { stop(); }

    bool start(const QString &program, const QStringList &args)
    {
        proc_.setProcessChannelMode(QProcess::MergedChannels);
        proc_.start(program, args);
        return proc_.waitForStarted(5000);
    }
    void stop()
    {
        if (proc_.state() == QProcess::NotRunning)
            return;
        proc_.terminate();
        if (!proc_.waitForFinished(2000)) {
            proc_.kill();
            proc_.waitForFinished(2000);
        }
    }
    // Waits (running the event loop) until the process has written text.
    bool waitForOutput(const QString &text, int ms = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            proc_.waitForReadyRead(50);
            out_ += QString::fromLocal8Bit(proc_.readAll());
            if (out_.contains(text))
                return true;
            if (proc_.state() == QProcess::NotRunning)
                break;
        }
        out_ += QString::fromLocal8Bit(proc_.readAll());
        return out_.contains(text);
    }
    bool waitForFinished(int ms = 10000)
    {
        bool ok = proc_.waitForFinished(ms);
        out_ += QString::fromLocal8Bit(proc_.readAll());
        return ok;
    }
    QString output()
    {
        out_ += QString::fromLocal8Bit(proc_.readAll());
        return out_;
    }
    int exitCode() const { return proc_.exitCode(); }
    QProcess &process() { return proc_; }

private:
    QProcess proc_;
    QString out_;
};

// Two linked pseudo-terminals made by socat: a() and b() are the paths of the
// two ends. mapPort(n, end) points COMn at one end for the link library.
class PtyPair {
public:
    PtyPair()
    {
        a_ = dir_.path() + "/ttyA";
        b_ = dir_.path() + "/ttyB";
        socat_.start("socat", {"pty,raw,echo=0,link=" + a_, "pty,raw,echo=0,link=" + b_});
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5000 && !(QFileInfo::exists(a_) && QFileInfo::exists(b_)))
            QThread::msleep(20);
        ok_ = QFileInfo::exists(a_) && QFileInfo::exists(b_);
    }
    bool ok() const { return ok_; }
    QString a() const { return a_; }
    QString b() const { return b_; }
    static void mapPort(int n, const QString &device)
    {
        qputenv(QByteArray("CORVANE_COM") + QByteArray::number(n), device.toLocal8Bit());
    }

private:
    QTemporaryDir dir_;
    QString a_, b_;
    PeerProcess socat_;
    bool ok_ = false;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
inline quint16 freeLoopbackPort()
{
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0))
        return 0;
    return s.serverPort();
}

// Runs the event loop until pred() holds or ms have passed.
template <class Pred> bool waitUntil(Pred pred, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// The python interpreter Debian's pymodbus is installed for.
inline QString systemPython() { return QStringLiteral("/usr/bin/python3"); }

// What the serial peer tests need and lack: "" when socat, pymodbus and
// pyserial are all there. The test packages bring them all, so a missing one
// is a broken setup, never a reason to pass over a test.
inline QString missingSerialPeers()
{
    if (QStandardPaths::findExecutable("socat").isEmpty())
        return "socat is not installed";
    QProcess probe;
    probe.start(systemPython(), {"-c", "import pymodbus.transaction, serial"});
    if (!probe.waitForFinished(20000) || probe.exitCode() != 0)
        return "python3-pymodbus or python3-serial is not installed";
    return {};
}

// Path of a file under tests/ in the source tree.
inline QString testSourcePath(const QString &rel)
{
    return QString::fromLocal8Bit(qgetenv("QUILLAN_SOURCE_DIR")) + "/tests/" + rel;
}
