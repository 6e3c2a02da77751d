// Helpers for the tests that run the programs without a window as black
// boxes: one run of a program with its stdout and stderr kept apart, a run
// to its end, and the Modbus peers (pymodbus, mbpoll) as these tests ask
// them. Every process is ended by its own PID.
#pragma once

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "Peers.h"

// quillan-slave as built, or the one $QUILLAN_SLAVE names (an installed one).
inline QString slaveProgram()
{
    const QByteArray given = qgetenv("QUILLAN_SLAVE");
    return given.isEmpty() ? QStringLiteral(QUILLAN_SLAVE_PROGRAM) : QString::fromLocal8Bit(given);
}

// One run of a program; what is left running when the object goes is ended
// by SIGTERM, then SIGKILL.
class ChildRun
{
public:
    ChildRun() = default;
    ChildRun(const ChildRun &) = delete;
    ChildRun &operator=(const ChildRun &) = delete;
    ~ChildRun()
    {
        if (p_.state() == QProcess::NotRunning)
            return;
        p_.terminate();
        if (!p_.waitForFinished(2000)) {
            p_.kill();
            p_.waitForFinished(2000);
        }
    }
    // Starts it and waits until its stderr holds `ready` `times` times (the
    // line it writes once per transport, say); false when it ended first.
    bool start(const QString &program, const QStringList &args, const QString &ready, int times = 1)
    {
        p_.start(program, args);
        return p_.waitForStarted(5000) &&
               waitUntil([&] { return err().count(ready) >= times || !running(); }, 10000) && running();
    }
    bool running() const { return p_.state() == QProcess::Running; }
    qint64 pid() const { return p_.processId(); }
    // VmRSS of the running program, as /proc writes it ("3456 kB").
    QString residentMemory() const
    {
        QFile f(QString("/proc/%1/status").arg(p_.processId()));
        if (!f.open(QIODevice::ReadOnly))
            return "?";
        for (const QByteArray &l : f.readAll().split('\n'))
            if (l.startsWith("VmRSS:"))
                return QString::fromLatin1(l.mid(6).trimmed());
        return "?";
    }
    // SIGTERM, then the exit status (-1: it did not end by itself).
    int terminate()
    {
        p_.terminate();
        return finished();
    }
    // SIGTERM only; finished() waits for the end.
    void signalTerm() { p_.terminate(); }
    int finished()
    {
        if (!p_.waitForFinished(5000))
            return -1;
        return p_.exitStatus() == QProcess::NormalExit ? p_.exitCode() : -1;
    }
    QString out()
    {
        out_ += QString::fromLocal8Bit(p_.readAllStandardOutput());
        return out_;
    }
    QString err()
    {
        err_ += QString::fromLocal8Bit(p_.readAllStandardError());
        return err_;
    }

private:
    QProcess p_;
    QString out_, err_;
};

// quillan-slave serving: start() returns once it has written its "serving"
// line for each of `transports`.
class SlaveRun : public ChildRun
{
public:
    bool start(const QStringList &args, int transports = 1)
    {
        return ChildRun::start(slaveProgram(), args, "quillan-slave: serving ", transports);
    }
};

// A program run to its end.
struct Finished {
    int status = -1; // -1: it crashed, or was killed after the time allowed
    QString out, err;
};

inline Finished runToEnd(const QString &program, const QStringList &args, int ms = 10000)
{
    QProcess p;
    p.start(program, args);
    Finished f;
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished(2000);
        return f;
    }
    f.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    f.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    f.err = QString::fromLocal8Bit(p.readAllStandardError());
    return f;
}

// pymodbus (tests/peers/slave_client.py) as the master of unit: the result of
// each command (the text after " -> ").
inline QStringList pymodbus(const QString &mode, const QString &where, const QStringList &commands,
                            int unit = 1, int ms = 30000)
{
    PeerProcess p;
    if (!p.start(systemPython(),
                 QStringList{testSourcePath("peers/slave_client.py"), mode, where, QString::number(unit)} +
                     commands))
        return {"ERR no python"};
    p.waitForFinished(ms);
    QStringList results;
    for (const QString &line : p.output().split('\n'))
        if (line.contains(" -> "))
            results << line.section(" -> ", 1).trimmed();
    return results;
}

// mbpoll, one poll: the values it printed.
inline QStringList mbpoll(const QStringList &args)
{
    PeerProcess p;
    if (!p.start("mbpoll", QStringList{"-1", "-0"} + args))
        return {"no mbpoll"};
    p.waitForFinished(20000);
    QStringList values;
    static const QRegularExpression re("^\\[(\\d+)\\]:\\s+(-?\\d+)", QRegularExpression::MultilineOption);
    for (auto it = re.globalMatch(p.output()); it.hasNext();)
        values << it.next().captured(2);
    return values;
}

// A file of the test's own; its path, or "" when it could not be written.
inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    const QString path = dir.path() + "/" + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write(text);
    return path;
}
