// The POSIX layer under the serial functions: bounded writes on a line that
// takes no more bytes.
#include <QtTest>
#include <vector>

#include "Peers.h"

extern "C" {
#include "corvane_posix.h"
}

class TestPosix : public QObject
{
    Q_OBJECT
private slots:
    void boundedWriteStopsWhenTheLineIsFull_data();
    void boundedWriteStopsWhenTheLineIsFull();
};

void TestPosix::boundedWriteStopsWhenTheLineIsFull_data()
{
    QTest::addColumn<int>("waitMs");
    QTest::newRow("no wait") << 0;
    QTest::newRow("20 ms") << 20;
}

void TestPosix::boundedWriteStopsWhenTheLineIsFull()
{
    QFETCH(int, waitMs);
    PtyPair pair;
    QVERIFY(pair.ok());
    // Nobody reads the far end: the pty and socat buffers fill up and the
    // write must come back short once its time is up, never block.
    const int fd = cvp_open_exclusive(pair.a().toLocal8Bit().constData());
    QVERIFY(fd >= 0);
    const cvp_line line = {9600, 'N', 8, 1, 0};
    QCOMPARE(cvp_configure(fd, &line), 0);
    QCOMPARE(cvp_prepare_waits(fd), 0);
    const std::vector<char> block(8 << 20, 'x');
    QElapsedTimer t;
    t.start();
    int64_t total = 0;
    int32_t n = 0;
    // The first calls may all go through; a later one is cut short.
    for (int round = 0; round < 64; ++round) {
        n = cvp_write_bounded(fd, block.data(), int32_t(block.size()), waitMs);
        QVERIFY(n >= 0);
        total += n;
        if (n < int32_t(block.size()))
            break;
    }
    const qint64 ms = t.elapsed();
    qInfo("wrote %lld bytes before the line was full, last call %d bytes, %lld ms in all", (long long)total,
          n, ms);
    QVERIFY(n < int32_t(block.size())); // a short count, not an error
    QVERIFY(ms < 5000);
    cvp_close(fd);
}

QTEST_GUILESS_MAIN(TestPosix)
#include "tst_posix.moc"
