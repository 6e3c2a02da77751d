// The log's queue and writer against a pipe of one page that the test reads,
// or never reads.
#include <QtTest>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "Line_writer.h"

class TestLineWriter : public QObject {
    Q_OBJECT
private slots:
    void everyLineWrittenOrCounted_data();
    void everyLineWrittenOrCounted();
};

void TestLineWriter::everyLineWrittenOrCounted_data()
{
    QTest::addColumn<bool>("readerComesBack");
    QTest::newRow("reader comes back") << true;
    QTest::newRow("reader never comes") << false;
}

// 100 lines of 100 bytes for a full pipe and a queue of 1 000 bytes: the
// first ones are kept, the rest dropped and counted. Read again, the output
// shows the kept lines in order, then the count where the others are
// missing; never read, close() returns at once with every line counted.
void TestLineWriter::everyLineWrittenOrCounted()
{
    QFETCH(bool, readerComesBack);
    int p[2];
    QVERIFY(pipe2(p, O_CLOEXEC) == 0);
    QVERIFY(fcntl(p[1], F_SETPIPE_SZ, 4096) >= 0);
    // Filled through a description of its own, so that the writer's stays blocking.
    const int filler = open(qPrintable(QString("/proc/self/fd/%1").arg(p[1])), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(filler >= 0);
    int full = 0;
    while (write(filler, "x", 1) == 1)
        ++full;
    ::close(filler);
    constexpr int kLines = 100;
    {
        LineWriter w(p[1], 1000, [](uint64_t n) { return "dropped " + std::to_string(n) + "\n"; });
        for (int i = 0; i < kLines; ++i)
            w.push(QString("line %1").arg(i, 3, 10, QChar('0')).leftJustified(99, '.').toStdString() + "\n");
        QVERIFY(w.dropped() > 0);
        QElapsedTimer t;
        t.start();
        if (readerComesBack) {
            fcntl(p[0], F_SETFL, O_NONBLOCK);
            // The lines that come through are in order, and each count of
            // dropped lines stands where exactly that many are missing, so
            // that every line is written or counted however the writer's
            // turns fall.
            QByteArray got;
            int next = 0, droppedSeen = 0;
            bool inOrder = true;
            while (next < kLines && inOrder && t.elapsed() < 5000) {
                char buf[8192];
                got.append(buf, std::max<ssize_t>(read(p[0], buf, sizeof buf), 0));
                const QByteArray text = got.mid(full);
                next = 0;
                droppedSeen = 0;
                for (const QByteArray &line : text.left(text.lastIndexOf('\n') + 1).split('\n')) {
                    if (line.startsWith("line ")) {
                        inOrder = inOrder && line.mid(5, 3).toInt() == next;
                        ++next;
                    } else if (line.startsWith("dropped ")) {
                        droppedSeen += line.mid(8).toInt();
                        next += line.mid(8).toInt();
                    }
                }
            }
            QVERIFY(inOrder);
            QCOMPARE(next, kLines);
            QVERIFY(droppedSeen > 0);
            QCOMPARE(w.close(1000), uint64_t(droppedSeen));
        } else {
            QCOMPARE(w.close(100), uint64_t(kLines));
            QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        }
    }
    // The writer given up on is still blocked on the pipe: both ends stay
    // open until the test ends.
    if (readerComesBack) {
        ::close(p[0]);
        ::close(p[1]);
    }
}

QTEST_GUILESS_MAIN(TestLineWriter)
#include "tst_line_writer.moc"
