// The poll scheduler on a fake clock, driven by short scripts:
//   t=N      the clock reads N ms          poll=0/1, iv=N, to=N  settings
//   read     the operator's one-shot read  write / write!  queue a write (refused)
//   R W B    a read / write / map block went out   R! W! B!  ... refused: one in flight
//   end      the exchange ended            end+  ... and with it a whole map cycle
//   watch=N  watching a map of N blocks    clear  port closed
//   ?Idle ?Read ?Write ?Block=N ?TO ?Wait=N   what next(now) says
//   pending=N polled=0/1 iv?=N             state checks
#include <QtTest>

#include "Poll_scheduler.h"

class TestPollScheduler : public QObject {
    Q_OBJECT
private slots:
    void scripts_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("first read at once, then start to start")
            << "poll=1; ?Read; R; t=10; ?Idle; t=300; end; ?Wait=1000; t=999; ?Wait=1000; t=1000; ?Read; R; "
               "t=1100; end; ?Wait=2000";
        QTest::newRow("interval 0 follows the end at once") << "iv=0; poll=1; ?Read; R; t=5; ?Idle; t=40; end; ?Read";
        QTest::newRow("exchange longer than the interval") << "iv=100; poll=1; R; t=250; end; ?Read";
        QTest::newRow("write waits for the cycle, goes before the read")
            << "poll=1; R; write; t=100; ?Idle; t=200; end; ?Write; W; pending=0; t=300; ?Idle; end; ?Wait=1000; "
               "t=1000; ?Read";
        QTest::newRow("two writes, then an overdue read")
            << "poll=1; R; write; write; t=900; end; ?Write; W; end; ?Write; W; t=1200; end; ?Read";
        QTest::newRow("poll off: nothing until asked")
            << "?Idle; read; ?Read; R; end; ?Idle; t=5000; ?Idle; write; ?Write; W; end; ?Idle";
        QTest::newRow("interval change applies at the next cycle")
            << "poll=1; R; t=100; end; iv=300; ?Wait=300; iv=0; ?Read";
        QTest::newRow("answer time-out, polling goes on")
            << "to=1000; poll=1; R; t=500; ?Wait=1000; t=1000; ?TO; end; ?Read";
        QTest::newRow("never two at once") << "R; W!; R!; write; pending=1; end; W; pending=0";
        QTest::newRow("write queue is bounded")
            << "R; write; write; write; write; write; write; write; write; write; write; write; write; write; "
               "write; write; write; write!; pending=16; clear; pending=0; end; ?Idle";
        QTest::newRow("interval clamps") << "iv=5000000; iv?=3600000; iv=-5; iv?=0";
        QTest::newRow("poll on again keeps the interval")
            << "poll=1; R; t=10; end; poll=0; t=20; ?Idle; poll=1; t=500; ?Wait=1000";
        QTest::newRow("clock stepped back waits one interval at most")
            << "poll=1; t=10000; R; end; t=5000; ?Wait=6000";
        QTest::newRow("polled flag taken at the start")
            << "poll=1; R; polled=1; poll=0; polled=1; end; polled=0; read; R; polled=0";
        QTest::newRow("a dropped write is forgotten") << "poll=1; write; ?Write; drop; pending=0; ?Read";
        QTest::newRow("a cycle reads the fields, then each block")
            << "watch=2; poll=1; ?Read; R; t=10; end; ?Block=0; B; end; ?Block=1; B; t=30; end+; ?Wait=1000; "
               "t=1000; ?Read";
        QTest::newRow("watching alone begins with the first block")
            << "iv=0; watch=3; polled=0; ?Block=0; B; polled=1; end; ?Block=1; B; end; ?Block=2; B; end+; ?Block=0";
        QTest::newRow("writes and the operator's read wait for the cycle's end")
            << "watch=2; poll=1; R; write; read; end; ?Block=0; B; end; ?Block=1; B; end+; ?Write; W; end; ?Read; R; "
               "end; ?Block=0";
        QTest::newRow("a cycle cut short is not whole")
            << "watch=2; B; clear; end; ?Wait=1000; t=1000; B; watch=0; end; watch=2; ?Wait=2000";
        QTest::newRow("a time-out ends a block's exchange, the cycle goes on")
            << "to=500; watch=2; B; t=500; ?TO; end; ?Block=1; B; end+";
    }
    void scripts()
    {
        QFETCH(QString, script);
        PollScheduler s;
        int64_t now = 0;
        auto stepText = [](PollScheduler::Step st) {
            switch (st.kind) {
            case PollScheduler::Step::Idle: return QString("?Idle");
            case PollScheduler::Step::SendRead: return QString("?Read");
            case PollScheduler::Step::SendWrite: return QString("?Write");
            case PollScheduler::Step::SendBlock: return QString("?Block=%1").arg(st.block);
            case PollScheduler::Step::TimedOut: return QString("?TO");
            case PollScheduler::Step::WaitUntil: return QString("?Wait=%1").arg(st.at);
            }
            return QString("?");
        };
        for (QString cmd : script.split(';')) {
            cmd = cmd.trimmed();
            const QString arg = cmd.section('=', 1);
            const QString at = QString("at t=%1: %2").arg(now).arg(cmd);
            if (cmd.startsWith("?"))
                QVERIFY2(stepText(s.next(now)) == cmd, qPrintable(at + " got " + stepText(s.next(now))));
            else if (cmd.startsWith("t="))
                now = arg.toLongLong();
            else if (cmd.startsWith("poll="))
                s.setPoll(arg == "1");
            else if (cmd.startsWith("iv="))
                s.setInterval(arg.toLongLong());
            else if (cmd.startsWith("iv?="))
                QVERIFY2(s.interval() == arg.toLongLong(), qPrintable(at));
            else if (cmd.startsWith("to="))
                s.setAnswerTimeout(arg.toLongLong());
            else if (cmd == "read")
                s.requestRead();
            else if (cmd == "write" || cmd == "write!")
                QVERIFY2(s.requestWrite() == (cmd == "write"), qPrintable(at));
            else if (cmd == "drop")
                s.writeDropped();
            else if (cmd.startsWith("R") || cmd.startsWith("W") || cmd.startsWith("B"))
                QVERIFY2(s.exchangeStarted(now, cmd[0] == 'R'   ? PollScheduler::Exchange::Read
                                                : cmd[0] == 'W' ? PollScheduler::Exchange::Write
                                                                : PollScheduler::Exchange::Block) ==
                             !cmd.endsWith("!"),
                         qPrintable(at));
            else if (cmd == "end" || cmd == "end+")
                QVERIFY2(s.exchangeEnded(now) == (cmd == "end+"), qPrintable(at));
            else if (cmd.startsWith("watch="))
                s.setWatch(arg.toInt());
            else if (cmd == "clear")
                s.clear();
            else if (cmd.startsWith("pending="))
                QVERIFY2(s.pendingWrites() == arg.toInt(), qPrintable(at));
            else if (cmd.startsWith("polled="))
                QVERIFY2(s.inFlightPolled() == (arg == "1"), qPrintable(at));
            else
                QFAIL(qPrintable("unknown step " + cmd));
        }
    }
};

QTEST_MAIN(TestPollScheduler)
#include "tst_poll_scheduler.moc"
