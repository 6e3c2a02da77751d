// The three slave windows: controls and defaults, grids, opening and closing,
// serving through the window on a fake line, hand edits through the value
// dialog (also while requests arrive), Port Define and closing the window.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include "Fake_link.h"
#include "Gui_services.h"
#include "Modal.h"
#include "Notices.h"
#include "Peers.h"
#include "Port_Def.h"
#include "Set_Value.h"
#include "Slave_ascii.h"
#include "Slave_rtu.h"
#include "Slave_tcp.h"
#include "Slave_test_util.h"

namespace {

struct Rig {
    FakeLink link;
    QStringList status;
    QStringList boxes;
    QList<int> closed;
    Rig()
    {
        set_status_sink([this](const std::string &t) { status << QString::fromStdString(t); });
        set_message_box_sink([this](const std::string &t, const std::string &c) {
            boxes << QString::fromStdString(c + ": " + t);
        });
        set_station_closed_sink([this](int kind) { closed << kind; });
    }
    ~Rig()
    {
        set_status_sink(nullptr);
        set_message_box_sink(nullptr);
        set_station_closed_sink(nullptr);
        set_modal_runner(nullptr);
    }
};

SlaveStationForm *makeStation(int which, QWidget *parent = nullptr)
{
    if (which == 0)
        return new TSLRTU_Form(parent);
    if (which == 1)
        return new TSLASC_Form(parent);
    return new TSLTCP_Form(parent);
}

// Drives the serial window's timer by hand for ms of the fake clock.
void tickFor(SerialSlaveForm *f, FakeLink &link, int ms)
{
    const int64_t until = link.ms + ms;
    while (link.ms < until) {
        f->Timer1Timer();
        link.ms += 5;
    }
}

StringGrid *gridOf(SlaveStationForm *f, int kind)
{
    switch (kind) {
    case 1: return f->StringGrid1;
    case 2: return f->StringGrid2;
    case 3: return f->StringGrid3;
    default: return f->StringGrid4;
    }
}

void doubleClick(SlaveStationForm *f, int kind, int col, int row)
{
    gridOf(f, kind)->selectCell(col, row);
    const QByteArray slot = "StringGrid" + QByteArray::number(kind) + "DblClick";
    QVERIFY(QMetaObject::invokeMethod(f, slot.constData()));
}

}  // namespace

class TestSlaveWindows : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { set_modal_runner(nullptr); }

    void controls_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("label");
        QTest::newRow("rtu") << 0 << "Modbus RTU Slave Server Simulation Program" << "COM1 Port 9600 N 8 1";
        QTest::newRow("ascii") << 1 << "Modbus ASCII Slave Server Simulation Program" << "COM2 Port 9600 O 7 1";
        QTest::newRow("tcp") << 2 << "Modbus/TCP Slave Server Simulation Program" << "";
    }
    void controls()
    {
        QFETCH(int, which);
        QFETCH(QString, caption);
        QFETCH(QString, label);
        Rig rig;
        std::unique_ptr<SlaveStationForm> f(makeStation(which));
        QCOMPARE(f->windowTitle(), caption);
        QCOMPARE(f->Panel3->text(), caption);
        QCOMPARE(f->PageControl1->count(), 5);  // the four tables, then the traffic history
        QCOMPARE(f->PageControl1->tabText(4), QString("Traffic"));
        QCOMPARE(f->PageControl1->widget(4)->objectName(), QString("TabSheet5"));
        QCOMPARE(f->PageControl1->currentIndex(), 0);
        const QStringList tabs{"Output Coil", "Input Relay", "Output Register", "Input Register"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(f->PageControl1->tabText(i), tabs[i]);
            QCOMPARE(f->PageControl1->widget(i)->objectName(), QString("TabSheet%1").arg(i + 1));
            QCOMPARE(gridOf(f.get(), i + 1)->toolTip(), QString("Double click to set value"));
        }
        for (const char *name : {"Panel1", "Panel2", "Panel3", "Memo1", "Memo2", "PageControl1", "StringGrid1",
                                 "StringGrid2", "StringGrid3", "StringGrid4", "BitBtn1", "BitBtn2"})
            QVERIFY2(f->findChild<QWidget *>(name), name);
        auto *open = f->findChild<QPushButton *>("BitBtn1");
        auto *close = f->findChild<QPushButton *>("BitBtn2");
        QCOMPARE(open->text(), QString("Open Server"));
        QCOMPARE(close->text(), QString("Close Server"));
        QVERIFY(open->isEnabled());
        QVERIFY(!close->isEnabled());
        if (which < 2) {
            auto *s = static_cast<SerialSlaveForm *>(f.get());
            QCOMPARE(s->BitBtn3->text(), QString("Port Define"));
            QCOMPARE(s->BitBtn3->objectName(), QString("BitBtn3"));
            QCOMPARE(s->Label1->text(), label);
            QCOMPARE(s->Timer1->objectName(), QString("Timer1"));
            QCOMPARE(s->Timer1->interval(), 5);
            QVERIFY(!s->Timer1->isActive());
        } else {
            auto *t = static_cast<TSLTCP_Form *>(f.get());
            QCOMPARE(t->listenPort(), 502);
            QVERIFY(!t->findChild<QPushButton *>("BitBtn3"));
            QCOMPARE(t->ServerSocket1->objectName(), QString("ServerSocket1"));
            QVERIFY(!t->ServerSocket1->isListening());
        }
        QCOMPARE(dynamic_cast<TSLRTU_Form *>(f.get()) != nullptr, which == 0);
    }

    void openAndClose_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("dataBits");
        QTest::addColumn<QString>("parity");
        QTest::newRow("rtu") << 0 << 1 << 8 << "N";
        QTest::newRow("ascii") << 1 << 2 << 7 << "O";
    }
    void openAndClose()
    {
        QFETCH(int, which);
        QFETCH(int, port);
        QFETCH(int, dataBits);
        QFETCH(QString, parity);
        Rig rig;
        std::unique_ptr<SerialSlaveForm> f(static_cast<SerialSlaveForm *>(makeStation(which)));
        f->setLink(&rig.link);

        rig.link.openResult = 0;
        f->BitBtn1Click();
        QCOMPARE(rig.status.last(), QString("Open COM%1 port error !!!!!").arg(port));
        QVERIFY(f->BitBtn1->isEnabled());
        QVERIFY(!f->Timer1->isActive());

        rig.link.openResult = 1;
        f->BitBtn1Click();
        QCOMPARE(rig.status.last(), QString("Open COM%1 port OK ......").arg(port));
        QCOMPARE(rig.link.lastPort, port);
        QCOMPARE(rig.link.lastBaud, 9600);
        QCOMPARE(QString(QChar(rig.link.lastParity)), parity);
        QCOMPARE(rig.link.lastData, dataBits);
        QCOMPARE(rig.link.lastStop, 1);
        QVERIFY(!f->BitBtn1->isEnabled());
        QVERIFY(f->BitBtn2->isEnabled());
        QVERIFY(f->Timer1->isActive());

        rig.link.closeResult = 0;
        f->BitBtn2Click();
        QCOMPARE(rig.status.last(), QString("Close COM%1 port error !!!!!").arg(port));
        QVERIFY(f->BitBtn2->isEnabled());

        rig.link.closeResult = 1;
        f->BitBtn2Click();
        QCOMPARE(rig.status.last(), QString("Close COM%1 port OK ......").arg(port));
        QVERIFY(f->BitBtn1->isEnabled());
        QVERIFY(!f->BitBtn2->isEnabled());
        QVERIFY(!f->Timer1->isActive());
    }

    // A request through the window: response on the line, memos, grid.
    void servedThroughTheWindow_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("memo1");
        QTest::addColumn<QStringList>("memo2");
        QTest::newRow("rtu") << 0 << hexBytes("01050009FF00 5C38")
                             << QStringList{"Query message: " + spaced(hexBytes("01050009FF00 5C38"))}
                             << QStringList{"Fun-05 Coil set addr=10 set=FF",
                                            "Response message: " + spaced(hexBytes("01050009FF00 5C38"))};
        QTest::newRow("ascii") << 1 << QByteArray(":01050009FF00F2\r\n")
                               << QStringList{"Query Message: :01050009FF00F2", ""}
                               << QStringList{"Fun-05 Coil set addr=10 set=FF",
                                              "Response Message: :01050009FF00F2", ""};
    }
    void servedThroughTheWindow()
    {
        QFETCH(int, which);
        QFETCH(QByteArray, request);
        QFETCH(QStringList, memo1);
        QFETCH(QStringList, memo2);
        Rig rig;
        std::unique_ptr<SerialSlaveForm> f(static_cast<SerialSlaveForm *>(makeStation(which)));
        f->setLink(&rig.link);
        f->BitBtn1Click();
        f->Timer1->stop();  // driven by hand
        f->Memo1->add(QStringLiteral("old"));
        rig.link.feed(request, rig.link.ms + 10, 1);
        tickFor(f.get(), rig.link, 100);
        QCOMPARE(rig.link.writes, QList<QByteArray>{request});
        QCOMPARE(f->Memo1->lines(), memo1);
        QCOMPARE(f->Memo2->lines(), memo2);
        QCOMPARE(f->StringGrid1->cellText(7, 2), QString("On"));  // entry 9
        QCOMPARE(f->ReadCoil(9), uint16_t(1));
    }

    // Closing and reopening keeps what was collected; the request is then
    // completed and served.
    void rtuReopenKeepsReceiver()
    {
        Rig rig;
        TSLRTU_Form f;
        f.setLink(&rig.link);
        f.BitBtn1Click();
        f.Timer1->stop();
        const QByteArray req = hexBytes("010300000001840A");
        rig.link.feed(req.left(3), 10, 0);
        rig.link.ms = 10;
        rig.link.readCostMs = 0;  // the port closes before the silence is seen
        f.Timer1Timer();
        QCOMPARE(f.rx.RxState, 20);
        f.BitBtn2Click();
        rig.link.readCostMs = 1;
        rig.link.feed(req.mid(3), rig.link.ms, 0);
        f.BitBtn1Click();
        f.Timer1->stop();
        tickFor(&f, rig.link, 100);
        QCOMPARE(rig.link.writes.size(), 1);
        QCOMPARE(spaced(rig.link.writes[0]), spaced(hexBytes("0103020000B844")));
    }

    // Double-clicks on every grid: which entry, which label, which mode.
    void handEdit_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("input");  // "On" / "Off" or the text typed
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("cellCol");
        QTest::addColumn<QString>("cell");
        // The editing is shared; the rows take turns on the three windows.
        QTest::newRow("rtu coil 9") << 0 << 1 << 7 << 2 << "Output Coil: 00010" << "On" << "C9" << 7 << "On";
        QTest::newRow("ascii coil 1023") << 1 << 1 << 1 << 128 << "Output Coil: 01024" << "On" << "C1023" << 1 << "On";
        QTest::newRow("tcp relay 0") << 2 << 2 << 8 << 1 << "Input Relay: 10001" << "On" << "R0" << 8 << "On";
        QTest::newRow("rtu holding 4 hex") << 0 << 3 << 2 << 5 << "Holding Register: 40005" << "1a" << "H4=1A" << 2
                                           << "0x001A";
        QTest::newRow("ascii holding 4 dec") << 1 << 3 << 1 << 5 << "Holding Register: 40005" << "-1" << "H4=FFFF" << 1
                                             << "    -1";
        QTest::newRow("tcp input 1023") << 2 << 4 << 1 << 1024 << "Input Register: 31024" << "-32768" << "I1023=8000"
                                        << 1 << "-32768";
    }
    void handEdit()
    {
        QFETCH(int, which);
        QFETCH(int, kind);
        QFETCH(int, col);
        QFETCH(int, row);
        QFETCH(QString, label);
        QFETCH(QString, input);
        QFETCH(QString, after);
        QFETCH(int, cellCol);
        QFETCH(QString, cell);
        Rig rig;
        std::unique_ptr<SlaveStationForm> f(makeStation(which));
        QString seenLabel, seenBase;
        set_modal_runner([&](QDialog *d) {
            auto *dlg = qobject_cast<TSet_ValueDlg *>(d);
            if (!dlg)
                return int(QDialog::Rejected);
            seenLabel = dlg->Label1->text();
            seenBase = dlg->Label2->text();
            if (kind <= 2)
                dlg->ComboBox1->setCurrentIndex(input == "On" ? 1 : 0);
            else
                dlg->Edit1->setText(input);
            dlg->OKBtn->click();
            return dlg->result();
        });
        doubleClick(f.get(), kind, col, row);
        QCOMPARE(seenLabel, label);
        if (kind >= 3)
            QCOMPARE(seenBase, QString(col == 1 ? "Decimal" : "Hex."));
        QCOMPARE(checkTables(f->tables, after), QString());
        QCOMPARE(gridOf(f.get(), kind)->cellText(cellCol, row), cell);
    }

    void headingsOpenNothing()
    {
        Rig rig;
        TSLTCP_Form f;
        int opened = 0;
        set_modal_runner([&](QDialog *) {
            ++opened;
            return int(QDialog::Rejected);
        });
        for (int kind = 1; kind <= 4; ++kind) {
            doubleClick(&f, kind, 0, 0);
            doubleClick(&f, kind, 0, 3);
            doubleClick(&f, kind, 1, 0);
        }
        gridOf(&f, 1)->setCurrentCell(-1, -1);
        QVERIFY(QMetaObject::invokeMethod(&f, "StringGrid1DblClick"));
        QCOMPARE(opened, 0);
    }

    void cancelLeavesEntry()
    {
        Rig rig;
        TSLASC_Form f;
        f.tables.holdingRegisters[2] = 0x1234;
        f.refreshEntry(3, 2);
        set_modal_runner([&](QDialog *d) {
            auto *dlg = qobject_cast<TSet_ValueDlg *>(d);
            dlg->Edit1->setText("99");
            dlg->CancelBtn->click();
            return dlg->result();
        });
        doubleClick(&f, 3, 1, 3);
        QCOMPARE(f.tables.holdingRegisters[2], uint16_t(0x1234));
        QCOMPARE(f.StringGrid3->cellText(1, 3), QString("  4660"));
    }

    // A mouse double-click on a cell reaches the handler.
    void realDoubleClick()
    {
        Rig rig;
        TSLRTU_Form f;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QString seen;
        set_modal_runner([&](QDialog *d) {
            seen = qobject_cast<TSet_ValueDlg *>(d)->Label1->text();
            return int(QDialog::Rejected);
        });
        QTableWidgetItem *it = f.StringGrid1->item(1, 8);
        QVERIFY(it);
        const QPoint at = f.StringGrid1->visualItemRect(it).center();
        QTest::mouseClick(f.StringGrid1->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(f.StringGrid1->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(seen, QString("Output Coil: 00001"));
    }

    // Requests are served while the dialog is open; the operator's value then
    // replaces what the request wrote.
    void editWhileServing_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("rtu") << 0;
        QTest::newRow("ascii") << 1;
    }
    void editWhileServing()
    {
        QFETCH(int, which);
        Rig rig;
        std::unique_ptr<SerialSlaveForm> f(static_cast<SerialSlaveForm *>(makeStation(which)));
        f->setLink(&rig.link);
        f->BitBtn1Click();
        f->Timer1->stop();
        const QByteArray req = which == 0 ? hexBytes("010600040077 882D") : QByteArray(":0106000400777E\r\n");
        uint16_t duringDialog = 0;
        QString rowDuringDialog;
        set_modal_runner([&](QDialog *d) {
            auto *dlg = qobject_cast<TSet_ValueDlg *>(d);
            rig.link.feed(req, rig.link.ms, 0);
            tickFor(f.get(), rig.link, 100);
            duringDialog = f->tables.holdingRegisters[4];
            rowDuringDialog = f->StringGrid3->cellText(2, 5);
            dlg->Edit1->setText("99");
            dlg->OKBtn->click();
            return dlg->result();
        });
        doubleClick(f.get(), 3, 1, 5);
        QCOMPARE(rig.link.writes, QList<QByteArray>{req});
        QCOMPARE(duringDialog, uint16_t(0x77));
        QCOMPARE(rowDuringDialog, QString("0x0077"));
        QCOMPARE(f->tables.holdingRegisters[4], uint16_t(99));
        QCOMPARE(f->StringGrid3->cellText(2, 5), QString("0x0063"));
    }

    void portDefine()
    {
        Rig rig;
        TSLRTU_Form f;
        f.setLink(&rig.link);
        f.BitBtn1Click();
        set_modal_runner([&](QDialog *d) {
            auto *baud = d->findChild<QComboBox *>("ComboBox2");
            if (!baud)
                return int(QDialog::Rejected);
            baud->setCurrentIndex(4);  // 19200
            return int(QDialog::Accepted);
        });
        f.BitBtn3Click();
        QCOMPARE(f.Label1->text(), QString("COM1 Port 19200 N 8 1"));
        QCOMPARE(rig.link.closes, 1);
        QVERIFY(rig.status.contains("Close COM1 port OK ......"));
        QVERIFY(f.BitBtn1->isEnabled());
        QCOMPARE(f.rx.RxGap, 20);
        QCOMPARE(rig.boxes, QStringList{"Quillan: Port's definition has been changed.....\n, Please reopen port again...."});
        f.BitBtn1Click();
        QCOMPARE(rig.link.lastBaud, 19200);
    }

    void formClose_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<bool>("open");
        QTest::addColumn<int>("kind");
        QTest::newRow("rtu open") << 0 << true << int(SlaveRtu);
        QTest::newRow("rtu closed") << 0 << false << int(SlaveRtu);
        QTest::newRow("ascii open") << 1 << true << int(SlaveAscii);
        QTest::newRow("tcp") << 2 << false << int(SlaveTcp);
    }
    void formClose()
    {
        QFETCH(int, which);
        QFETCH(bool, open);
        QFETCH(int, kind);
        Rig rig;
        std::unique_ptr<SlaveStationForm> f(makeStation(which));
        if (which < 2) {
            auto *s = static_cast<SerialSlaveForm *>(f.get());
            s->setLink(&rig.link);
            if (open)
                s->BitBtn1Click();
        }
        rig.status.clear();
        f->close();
        QCOMPARE(rig.closed, QList<int>{kind});
        QCOMPARE(rig.link.closes, open ? 1 : 0);
        QVERIFY(rig.status.isEmpty());
        f.reset();
        QCOMPARE(rig.link.closes, open ? 1 : 0);  // not closed twice
    }

    void tcpOpenAndClose()
    {
        Rig rig;
        TSLTCP_Form f;
        f.setListenPort(freeLoopbackPort());
        f.Memo1->add(QStringLiteral("old"));
        f.BitBtn1Click();
        QVERIFY(f.ServerSocket1->isListening());
        QCOMPARE(rig.status.last(), QString("Modbus/TCP Server Open...."));
        QCOMPARE(f.Memo1->lines(), QStringList{"Modbus/TCP Server Open...."});
        QVERIFY(!f.BitBtn1->isEnabled());
        f.BitBtn2Click();
        QVERIFY(!f.ServerSocket1->isListening());
        QCOMPARE(rig.status.last(), QString("Modbus/TCP Server Close....."));
        QCOMPARE(f.Memo1->lines(), (QStringList{"Modbus/TCP Server Open....", "Modbus/TCP Server Close....."}));
        QVERIFY(f.BitBtn1->isEnabled());
    }

    void tcpPortInUse()
    {
        Rig rig;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        TSLTCP_Form f;
        f.setListenPort(holder.serverPort());
        f.BitBtn1Click();
        QCOMPARE(rig.boxes.size(), 1);
        QVERIFY(rig.boxes[0].startsWith(QString("Quillan: Modbus/TCP Server cannot listen on port %1: ")
                                            .arg(holder.serverPort())));
        QVERIFY(rig.boxes[0].size() > 50);  // the system's reason follows
        QVERIFY(f.BitBtn1->isEnabled());
        QVERIFY(!f.BitBtn2->isEnabled());
        QVERIFY(rig.status.isEmpty());
    }

    // One segment: a valid request, then a header whose length field cannot
    // frame one. The request is answered before the connection is closed.
    void tcpAnswerBeforeBadLength()
    {
        Rig rig;
        TSLTCP_Form f;
        const quint16 port = freeLoopbackPort();
        f.setListenPort(port);
        f.tables.holdingRegisters[0] = 0x1234;
        f.BitBtn1Click();
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(s.waitForConnected(3000));
        s.write(hexBytes("006000000006010300000001 00610000000101"));
        QByteArray got;
        QVERIFY(waitUntil([&] {
            got += s.readAll();
            return s.state() == QAbstractSocket::UnconnectedState;
        }));
        got += s.readAll();
        QCOMPARE(spaced(got), spaced(hexBytes("0060000000050103021234")));
        QVERIFY(waitUntil([&] { return f.clientCount() == 0; }));
        QCOMPARE(f.Memo1->lines().mid(0, 2),
                 (QStringList{"Query Message: 00 60 00 00 00 06 01 03 00 00 00 01 ",
                              "Mod Slave TCP length field error len=1, connection closed"}));
        QVERIFY(rig.boxes.isEmpty());
        f.BitBtn2Click();
    }

    // The station listens on every address, IPv4 and IPv6 alike; a client is
    // named by the address it came from, an IPv4 one in its IPv4 form.
    void tcpClientHostNames_data()
    {
        QTest::addColumn<QString>("client");
        QTest::newRow("IPv4") << "127.0.0.1";
        QTest::newRow("IPv6") << "::1";
    }
    void tcpClientHostNames()
    {
        QFETCH(QString, client);
        Rig rig;
        TSLTCP_Form f;
        const quint16 port = freeLoopbackPort();
        f.setListenPort(port);
        f.BitBtn1Click();
        QCOMPARE(f.ServerSocket1->serverAddress(), QHostAddress(QHostAddress::Any));
        auto *s = new QTcpSocket;
        s->connectToHost(QHostAddress(client), port);
        QVERIFY(s->waitForConnected(3000));
        QVERIFY(waitUntil([&] { return f.clientCount() == 1; }));
        QCOMPARE(f.Memo1->lines().last(), client + "Client Connect");
        delete s;
        QVERIFY(waitUntil([&] { return f.clientCount() == 0; }));
        QCOMPARE(f.Memo1->lines().last(), client + "Client DisConnect");
        f.BitBtn2Click();
    }

    // Figures only: how long opening a slave window takes.
    void openingTime()
    {
        Rig rig;
        for (int which = 0; which < 3; ++which) {
            QElapsedTimer t;
            t.start();
            std::unique_ptr<SlaveStationForm> f(makeStation(which));
            f->show();
            QCoreApplication::processEvents();
            qInfo("opening slave window %d: %lld ms", which, static_cast<long long>(t.elapsed()));
        }
    }
};

QTEST_MAIN(TestSlaveWindows)
#include "tst_slave_windows.moc"
