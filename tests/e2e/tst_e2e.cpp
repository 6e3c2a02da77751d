// The program as an engineer meets it: the real start-up, stations opened from
// the main frame's menu, and a master and a slave of each transport talking to
// each other in one running program - RTU and ASCII over socat pty pairs, TCP
// over 127.0.0.1. Nothing is faked: the stations use the link library, real
// grids, the real dialogs (answered by a modal runner) and the message line.
//
// Ports: the serial masters keep their default ports (Master RTU COM1, Master
// ASCII COM2); the slaves are moved by their "Port Define" to COM3 and COM4.
// COM1/COM3 are the two ends of one pty pair, COM2/COM4 of another.
//
// Pictures of every station with its traffic are left in the build directory
// (e2e-pictures/) for a person to look at; their paths are printed.
#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QSet>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "Gui_services.h"
#include "Modal.h"
#include "Frame_panels.h"
#include "Modbus_main.h"
#include "Notices.h"
#include "Peers.h"
#include "Slave_rtu.h"
#include "Slave_tcp.h"
#include "Startup.h"

namespace {

enum Transport { Rtu, Ascii, Tcp };

const char *const kMasterActions[3] = {"MasterRTU1", "MasterASCII1", "MasterTCP1"};
const char *const kSlaveActions[3] = {"SlaveRTU1", "SlaveASCII1", "SlaveTCP1"};
constexpr int kMasterCom[2] = {1, 2};
constexpr int kSlaveCom[2] = {3, 4};

template <class T> T *child(QObject *parent, const QString &name)
{
    T *c = parent->findChild<T *>(name);
    if (!c)
        qFatal("no child %s in %s", qPrintable(name), qPrintable(parent->objectName()));
    return c;
}

QPushButton *button(QObject *form, const char *name) { return child<QPushButton>(form, name); }
Memo *memo(QObject *form, const char *name) { return child<Memo>(form, name); }

// Row r of a grid as "c0|c1|...", blanks kept.
QString gridRow(StringGrid *g, int r)
{
    QStringList cells;
    for (int c = 0; c < g->colCount(); ++c)
        cells << g->cellText(c, r);
    return cells.join('|');
}

// A real double click on a cell, as the operator gives it.
void doubleClickCell(StringGrid *g, int col, int row)
{
    QTableWidgetItem *item = g->item(row, col);
    QVERIFY2(item, "no such cell");
    g->scrollToItem(item);
    const QPoint at = g->visualItemRect(item).center();
    QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(g->viewport(), Qt::LeftButton, {}, at);
}

QString picturesDir()
{
    QString base = QString::fromLocal8Bit(qgetenv("QUILLAN_BINARY_DIR"));
    if (base.isEmpty())
        base = QDir::tempPath();
    return base + "/e2e-pictures";
}

}  // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    QStringList boxes_;    // "caption|text" of every message box
    QStringList dialogs_;  // "object name|what Label1 said" of every dialog run
    QString answer_;       // what the next value dialog is answered with
    int portAnswer_ = 1;   // the used port the next Port Define picks
    std::unique_ptr<PtyPair> pairs_[2];

    QWidget *station(int kind) const { return Form1->station(kind); }

    QWidget *openFromMenu(const char *action, int kind)
    {
        QAction *a = child<QAction>(Form1, action);
        a->trigger();
        QWidget *w = Form1->station(kind);
        if (!w || !Form1->stationOpen(kind))
            qFatal("%s opened no station", action);
        return w;
    }

    // The station's menu item again: the window that exists comes to the
    // front, as the operator brings it up before working in it.
    void toFront(QWidget *form)
    {
        for (int kind = 0; kind < 6; ++kind)
            if (Form1->station(kind) == form)
                child<QAction>(Form1, kind < 3 ? kMasterActions[kind] : kSlaveActions[kind - 3])->trigger();
        QCoreApplication::processEvents();
    }

    bool makePair(int t)
    {
        if (!pairs_[t]) {
            pairs_[t] = std::make_unique<PtyPair>();
            if (!pairs_[t]->ok()) {
                pairs_[t].reset();
                return false;
            }
            PtyPair::mapPort(kMasterCom[t], pairs_[t]->a());
            PtyPair::mapPort(kSlaveCom[t], pairs_[t]->b());
        }
        return true;
    }

    // Opens the master's port or connection and the slave's port or server.
    void connectPair(Transport t, QWidget *master, QWidget *slave)
    {
        if (t == Tcp) {
            auto *server = qobject_cast<TSLTCP_Form *>(slave);
            QVERIFY(server);
            const quint16 port = freeLoopbackPort();
            QVERIFY(port != 0);
            server->setListenPort(port);
            button(slave, "BitBtn1")->click();
            QVERIFY(server->serverOpen());
            QCOMPARE(frame_message_text(Form1), QString("Modbus/TCP Server Open...."));
            child<QLineEdit>(master, "Edit1")->setText("127.0.0.1");
            child<QLineEdit>(master, "MaskEdit4")->setText(QString::number(port));
            button(master, "BitBtn3")->click();
            QVERIFY(waitUntil([&] { return button(master, "BitBtn4")->isEnabled(); }, 5000));
            QVERIFY(waitUntil([&] { return server->clientCount() == 1; }, 5000));
            QCOMPARE(frame_message_text(Form1), QString("Connect To: 127.0.0.1 OK"));
            return;
        }
        QVERIFY2(makePair(t), "socat made no pty pair");
        // The slave moves to its own port through its "Port Define".
        portAnswer_ = kSlaveCom[t];
        button(slave, "BitBtn3")->click();
        QCOMPARE(child<QLabel>(slave, "Label1")->text(),
                 t == Rtu ? QString("COM3 Port 9600 N 8 1") : QString("COM4 Port 9600 O 7 1"));
        button(slave, "BitBtn1")->click();
        QVERIFY(button(slave, "BitBtn2")->isEnabled());
        QCOMPARE(frame_message_text(Form1), QString("Open COM%1 port OK ......").arg(kSlaveCom[t]));
        button(master, "BitBtn4")->click();
        QVERIFY(button(master, "BitBtn5")->isEnabled());
        QCOMPARE(frame_message_text(Form1), QString("Open COM%1 port OK ......").arg(kMasterCom[t]));
    }

    // A master is idle once its answer is in and (serial) its timer stopped.
    static bool answered(QWidget *master)
    {
        auto *timer = master->findChild<QTimer *>("Timer1");
        return !memo(master, "Memo2")->lines().isEmpty() && !(timer && timer->isActive());
    }

    static void setRequest(QWidget *master, int kind, int start, int count)
    {
        child<QComboBox>(master, "ComboBox1")->setCurrentIndex(kind);
        child<QLineEdit>(master, "MaskEdit1")->setText("1");
        child<QLineEdit>(master, "MaskEdit2")->setText(QString::number(start));
        child<QLineEdit>(master, "MaskEdit3")->setText(QString::number(count));
    }

    // "Send command" with the given fields; waits for the answer.
    void read(QWidget *master, int kind, int start, int count)
    {
        setRequest(master, kind, start, count);
        memo(master, "Memo2")->clear();
        button(master, "BitBtn1")->click();
        QVERIFY2(waitUntil([&] { return answered(master); }, 5000), "no answer");
        QVERIFY2(memo(master, "Memo1")->lines().value(0).startsWith("Query message"),
                 qPrintable(memo(master, "Memo1")->toPlainText()));
    }

    // Hand edit on a slave's grid of kind 1..4: a double click, the value
    // dialog answered with answer.
    void editSlave(QWidget *slave, int kind, int col, int row, const QString &answer)
    {
        toFront(slave);
        child<QTabWidget>(slave, "PageControl1")->setCurrentIndex(kind - 1);
        QCoreApplication::processEvents();
        answer_ = answer;
        const int before = int(dialogs_.size());
        doubleClickCell(child<StringGrid>(slave, QString("StringGrid%1").arg(kind)), col, row);
        QCOMPARE(int(dialogs_.size()), before + 1);
        QVERIFY(dialogs_.last().startsWith("Set_ValueDlg|"));
    }

    // Write from the master's grid: a double click on (col, row), the
    // write-value dialog answered; returns once the slave's grid shows want.
    qint64 writeFromMaster(QWidget *master, int col, int row, const QString &answer, StringGrid *slaveGrid,
                           int slaveCol, int slaveRow, const QString &want)
    {
        toFront(master);
        answer_ = answer;
        memo(master, "Memo2")->clear();
        const int before = int(dialogs_.size());
        QElapsedTimer t;
        t.start();
        doubleClickCell(child<StringGrid>(master, "StringGrid1"), col, row);
        if (dialogs_.size() != before + 1 || !dialogs_.last().startsWith("Set_DataDlg|"))
            return -1;
        if (!waitUntil([&] { return slaveGrid->cellText(slaveCol, slaveRow) == want; }, 5000))
            return -1;
        const qint64 ms = t.elapsed();
        if (!waitUntil([&] { return answered(master); }, 5000))
            return -1;
        return ms;
    }

    void savePictures(const QString &prefix, const QList<int> &kinds)
    {
        QDir().mkpath(picturesDir());
        const QSize specSize(730, 505), big(1280, 1000);
        for (const QSize &size : {specSize, big}) {
            Form1->resize(size);
            for (int kind : kinds) {
                Form1->openStation(kind);  // brings it to the front
                QCoreApplication::processEvents();
                const QString path = QString("%1/%2-%3-%4x%5.png")
                                         .arg(picturesDir(), prefix)
                                         .arg(kind)
                                         .arg(size.width())
                                         .arg(size.height());
                if (Form1->grab().save(path))
                    qInfo("picture: %s", qPrintable(path));
            }
        }
        Form1->resize(specSize);
    }

    // Each kind of dialog once, as the operator sees it.
    QSet<QString> dialogPictures_;
    void saveDialogPicture(QDialog *d)
    {
        auto *edit = d->findChild<QLineEdit *>("Edit1");
        const QString name = d->objectName() + (edit ? (edit->isHidden() ? "-bit" : "-value") : QString());
        if (dialogPictures_.contains(name))
            return;
        dialogPictures_.insert(name);
        QDir().mkpath(picturesDir());
        d->show();
        QCoreApplication::processEvents();
        const QString path = picturesDir() + "/dialog-" + name + ".png";
        if (d->grab().save(path))
            qInfo("picture: %s", qPrintable(path));
        d->hide();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Form1);
        QVERIFY2(!QStandardPaths::findExecutable("socat").isEmpty(),
                 "socat is not installed (scripts/install-deps.sh --test installs it)");
        set_message_box_sink([this](const std::string &text, const std::string &caption) {
            boxes_ << QString::fromStdString(caption + "|" + text);
        });
        set_modal_runner([this](QDialog *d) {
            auto *label = d->findChild<QLabel *>("Label1");
            dialogs_ << d->objectName() + "|" + (label ? label->text() : QString());
            saveDialogPicture(d);
            if (d->objectName() == "Port_DefDlg") {
                child<QComboBox>(d, "ComboBox1")->setCurrentIndex(portAnswer_ - 1);
                child<QComboBox>(d, "ComboBox6")->setCurrentIndex(portAnswer_ - 1);
            } else if (d->objectName() == "Set_ValueDlg" || d->objectName() == "Set_DataDlg") {
                auto *edit = child<QLineEdit>(d, "Edit1");
                if (edit->isHidden())
                    child<QComboBox>(d, "ComboBox1")->setCurrentIndex(answer_ == "On" ? 1 : 0);
                else
                    edit->setText(answer_);
            } else {
                return int(QDialog::Rejected);
            }
            child<QPushButton>(d, "OKBtn")->click();
            return d->result();
        });
    }

    void cleanup()
    {
        // Every station is closed through its window; its flag goes to 0 and
        // its port or socket is given back for the next test.
        for (int kind = 0; kind < 6; ++kind)
            if (QMdiSubWindow *sub = Form1->stationSubWindow(kind))
                sub->close();
        QVERIFY(waitUntil([] {
            for (int kind = 0; kind < 6; ++kind)
                if (Form1->stationOpen(kind))
                    return false;
            return true;
        }));
        QVERIFY2(boxes_.isEmpty(), qPrintable(boxes_.join("\n")));
        boxes_.clear();
    }

    void cleanupTestCase()
    {
        set_modal_runner({});
        for (auto &p : pairs_)
            p.reset();
    }

    // Every station, opened at the frame's starting size, fits the frame:
    // its controls lie inside the frame's work area at no less than their
    // minimum size, and the address column of each grid shows its labels whole.
    void fitsTheFrame_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("grids");
        QTest::newRow("Master RTU") << int(MasterRtu) << "MasterRTU1" << 1;
        QTest::newRow("Master ASCII") << int(MasterAscii) << "MasterASCII1" << 1;
        QTest::newRow("Master TCP") << int(MasterTcp) << "MasterTCP1" << 1;
        QTest::newRow("Slave RTU") << int(SlaveRtu) << "SlaveRTU1" << 4;
        QTest::newRow("Slave ASCII") << int(SlaveAscii) << "SlaveASCII1" << 4;
        QTest::newRow("Slave TCP") << int(SlaveTcp) << "SlaveTCP1" << 4;
    }

    void fitsTheFrame()
    {
        QFETCH(int, kind);
        QFETCH(QString, action);
        QFETCH(int, grids);
        Form1->resize(730, 505);
        QWidget *form = openFromMenu(action.toLatin1().constData(), kind);
        QCoreApplication::processEvents();
        QWidget *area = frame_mdi_area(Form1)->viewport();
        const QRect inside = area->rect();
        const QList<QWidget *> controls = form->findChildren<QWidget *>();
        for (QWidget *w : controls) {
            if (!w->isVisibleTo(form) || !(qobject_cast<QAbstractButton *>(w) || qobject_cast<QLineEdit *>(w) ||
                                           qobject_cast<QComboBox *>(w)))
                continue;
            const QRect at(w->mapTo(area, QPoint(0, 0)), w->size());
            QVERIFY2(inside.contains(at), qPrintable(QString("%1 %2 at %3,%4 %5x%6 outside %7x%8")
                                                         .arg(w->metaObject()->className(), w->objectName())
                                                         .arg(at.x())
                                                         .arg(at.y())
                                                         .arg(at.width())
                                                         .arg(at.height())
                                                         .arg(inside.width())
                                                         .arg(inside.height())));
            QVERIFY2(w->width() >= w->minimumSizeHint().width(), qPrintable(w->objectName() + " is squeezed"));
        }
        for (int g = 1; g <= grids; ++g) {
            auto *grid = child<StringGrid>(form, QString("StringGrid%1").arg(g));
            const QString label = grid->cellText(0, 1);
            QVERIFY(!label.isEmpty());
            QVERIFY2(grid->columnWidth(0) > grid->fontMetrics().horizontalAdvance(label) + 6,
                     qPrintable(QString("%1 is %2 pixels wide for \"%3\"")
                                    .arg(grid->objectName())
                                    .arg(grid->columnWidth(0))
                                    .arg(label)));
        }
    }

    // The typical exchange for one transport.
    void exchange_data()
    {
        QTest::addColumn<int>("transport");
        QTest::addColumn<int>("regCol");    // master grid column the register is written from
        QTest::addColumn<QString>("regAnswer");
        QTest::newRow("RTU over a pty pair") << int(Rtu) << 1 << "4660";
        QTest::newRow("ASCII over a pty pair") << int(Ascii) << 2 << "1234";
        QTest::newRow("TCP over loopback") << int(Tcp) << 1 << "4660";
    }

    void exchange()
    {
        QFETCH(int, transport);
        QFETCH(int, regCol);
        QFETCH(QString, regAnswer);
        const Transport t = Transport(transport);
        QElapsedTimer clock;
        clock.start();

        QWidget *slave = openFromMenu(kSlaveActions[t], SlaveRtu + int(t));
        QWidget *master = openFromMenu(kMasterActions[t], MasterRtu + int(t));
        connectPair(t, master, slave);
        if (QTest::currentTestFailed())
            return;

        // The slave's tables edited by hand.
        editSlave(slave, 1, 8, 1, "On");     // coil 00001
        editSlave(slave, 1, 6, 1, "On");     // coil 00003
        editSlave(slave, 2, 7, 1, "On");     // input relay 10002
        editSlave(slave, 3, 1, 1, "1234");   // holding register 40001, decimal
        editSlave(slave, 3, 2, 2, "BEEF");   // holding register 40002, hexadecimal
        editSlave(slave, 4, 1, 1, "-2");     // input register 30001
        editSlave(slave, 4, 1, 2, "7");      // input register 30002
        auto *slaveCoils = child<StringGrid>(slave, "StringGrid1");
        auto *slaveHolding = child<StringGrid>(slave, "StringGrid3");
        QCOMPARE(gridRow(slaveCoils, 1), QString("00008 - 00001|Off|Off|Off|Off|Off|On|Off|On"));
        QCOMPARE(gridRow(slaveHolding, 2), QString("40002|-16657|0xBEEF"));
        QVERIFY(dialogs_.contains("Set_ValueDlg|Holding Register: 40002"));

        // The four kinds read by the master.
        auto *grid = child<StringGrid>(master, "StringGrid1");
        read(master, 1, 1, 8);
        QCOMPARE(gridRow(grid, 1), QString("10008 - 10001|Off|Off|Off|Off|Off|Off|On|Off"));
        read(master, 3, 1, 2);
        QCOMPARE(gridRow(grid, 1), QString("30001|    -2|0xFFFE"));
        QCOMPARE(gridRow(grid, 2), QString("30002|     7|0x0007"));
        QVERIFY(!button(master, "BitBtn2")->isEnabled());  // input registers are not written
        read(master, 2, 1, 2);
        QCOMPARE(gridRow(grid, 1), QString("40001|  1234|0x04D2"));
        QCOMPARE(gridRow(grid, 2), QString("40002|-16657|0xBEEF"));
        QVERIFY(button(master, "BitBtn2")->isEnabled());
        // The slave logged the last request and its response.
        QVERIFY(!memo(slave, "Memo1")->lines().isEmpty());
        QVERIFY(!memo(slave, "Memo2")->lines().isEmpty());

        // A register written from the master's grid; the slave's grid shows
        // it at once, and the master reads it back.
        const qint64 regMs =
            writeFromMaster(master, regCol, 2, regAnswer, slaveHolding, 1, 2, QString("  4660"));
        QVERIFY2(regMs >= 0, qPrintable(dialogs_.join("\n")));
        QCOMPARE(dialogs_.last(), QString("Set_DataDlg|Register: 40002"));
        QCOMPARE(gridRow(slaveHolding, 2), QString("40002|  4660|0x1234"));
        QCOMPARE(gridRow(grid, 2), QString("40002|  4660|0x1234"));
        read(master, 2, 1, 2);
        QCOMPARE(gridRow(grid, 1), QString("40001|  1234|0x04D2"));
        QCOMPARE(gridRow(grid, 2), QString("40002|  4660|0x1234"));

        // The same for a coil.
        read(master, 0, 1, 8);
        QCOMPARE(gridRow(grid, 1), QString("00008 - 00001|Off|Off|Off|Off|Off|On|Off|On"));
        const qint64 coilMs = writeFromMaster(master, 7, 1, "On", slaveCoils, 7, 1, "On");
        QVERIFY2(coilMs >= 0, qPrintable(dialogs_.join("\n")));
        QCOMPARE(dialogs_.last(), QString("Set_DataDlg|Relay: 00002"));
        QCOMPARE(gridRow(slaveCoils, 1), QString("00008 - 00001|Off|Off|Off|Off|Off|On|On|On"));
        read(master, 0, 1, 8);
        QCOMPARE(gridRow(grid, 1), QString("00008 - 00001|Off|Off|Off|Off|Off|On|On|On"));

        savePictures(QString("exchange-%1").arg(QStringList{"rtu", "ascii", "tcp"}[t]),
                     {SlaveRtu + int(t), MasterRtu + int(t)});
        qInfo("%s: register on the slave's grid %lld ms after the dialog, coil %lld ms; whole exchange %lld ms",
              QTest::currentDataTag(), regMs, coilMs, clock.elapsed());
    }

    // Long grids scrolled to their end keep their headings in view: a master
    // laid out for 1920 coils and every grid of a slave.
    void scrolledGridsKeepHeadings()
    {
        QWidget *slave = openFromMenu(kSlaveActions[Tcp], SlaveTcp);
        QWidget *master = openFromMenu(kMasterActions[Tcp], MasterTcp);
        connectPair(Tcp, master, slave);
        if (QTest::currentTestFailed())
            return;
        read(master, 0, 1, 1920);
        auto scrolled = [](StringGrid *g, const QStringList &headings) {
            g->scrollToBottom();
            QCoreApplication::processEvents();
            QStringList shown;
            for (int c = 0; c < g->colCount(); ++c)
                shown << g->model()->headerData(c, Qt::Horizontal).toString();
            QCOMPARE(shown, headings);
            QVERIFY(g->horizontalHeader()->isVisible());
            QVERIFY(g->rowAt(0) > 1);
        };
        const QStringList bits{"address", "bits-7", "bits-6", "bits-5", "bits-4",
                               "bits-3",  "bits-2", "bits-1", "bits-0"};
        toFront(master);
        auto *grid = child<StringGrid>(master, "StringGrid1");
        QCOMPARE(grid->rowCount(), 241);
        scrolled(grid, bits);
        toFront(slave);
        auto *pages = child<QTabWidget>(slave, "PageControl1");
        const QString tables[4] = {"Output Coil", "Input Relay", "Holding Register", "Input Register"};
        for (int kind = 4; kind >= 1; --kind) {
            pages->setCurrentIndex(kind - 1);
            QStringList headings = kind <= 2 ? bits : QStringList{"", "Decimal", "Hex."};
            headings[0] = tables[kind - 1];
            scrolled(child<StringGrid>(slave, QString("StringGrid%1").arg(kind)), headings);
        }
        savePictures("scrolled", {SlaveTcp, MasterTcp});
    }

    // All six stations at once, each on its own port or socket: three masters
    // ask at the same moment and each gets its own slave's answer.
    void allSixAtOnce()
    {
        QElapsedTimer clock;
        clock.start();
        QWidget *masters[3], *slaves[3];
        for (int t = 0; t < 3; ++t) {
            masters[t] = openFromMenu(kMasterActions[t], MasterRtu + int(t));
            slaves[t] = openFromMenu(kSlaveActions[t], SlaveRtu + int(t));
        }
        for (int kind = 0; kind < 6; ++kind)
            QCOMPARE(Form1->stationOpen(kind), 1);
        for (int t = 0; t < 3; ++t) {
            connectPair(Transport(t), masters[t], slaves[t]);
            if (QTest::currentTestFailed())
                return;
        }

        const QString values[3] = {"111", "222", "333"};
        for (int t = 0; t < 3; ++t)
            editSlave(slaves[t], 3, 1, 10, values[t]);  // holding register 40010

        auto readAll = [&](int kind, int start, int count) {
            for (int t = 0; t < 3; ++t) {
                setRequest(masters[t], kind, start, count);
                memo(masters[t], "Memo2")->clear();
            }
            for (int t = 0; t < 3; ++t)
                button(masters[t], "BitBtn1")->click();
            return waitUntil([&] { return answered(masters[0]) && answered(masters[1]) && answered(masters[2]); },
                             5000);
        };

        for (int round = 0; round < 3; ++round) {
            QVERIFY(readAll(2, 10, 1));
            for (int t = 0; t < 3; ++t)
                QCOMPARE(child<StringGrid>(masters[t], "StringGrid1")->cellText(1, 1),
                         values[t].rightJustified(6));
        }

        // Each master writes its slave's register; the others keep theirs.
        const QString written[3] = {"1001", "1002", "1003"};
        for (int t = 0; t < 3; ++t) {
            const qint64 ms = writeFromMaster(masters[t], 1, 1, written[t],
                                              child<StringGrid>(slaves[t], "StringGrid3"), 1, 10,
                                              written[t].rightJustified(6));
            QVERIFY2(ms >= 0, qPrintable(QString("station %1").arg(t)));
        }
        QVERIFY(readAll(2, 10, 1));
        for (int t = 0; t < 3; ++t) {
            QCOMPARE(child<StringGrid>(masters[t], "StringGrid1")->cellText(1, 1), written[t].rightJustified(6));
            QCOMPARE(child<StringGrid>(slaves[t], "StringGrid3")->cellText(1, 10), written[t].rightJustified(6));
        }

        savePictures("all-six", {MasterRtu, MasterAscii, MasterTcp, SlaveRtu, SlaveAscii, SlaveTcp});
        qInfo("all six stations, 4 rounds of 3 reads and 3 writes: %lld ms", clock.elapsed());
    }

    // A slave used as a test bench: a unit filter, a delay and the holding
    // registers shown as floats, as the operator sets them in the strip.
    void benchStripPicture()
    {
        auto *slave = static_cast<SlaveStationForm *>(openFromMenu("SlaveRTU1", SlaveRtu));
        const uint16_t words[] = {0x3FC0, 0x0000, 0x4049, 0x0FDB, 0xC2F6, 0xE979, 0x0000, 0x0000};
        std::copy(std::begin(words), std::end(words), slave->tables.holdingRegisters);
        child<QLineEdit>(slave, "UnitIds")->setText("1, 5, 10-20");
        slave->UnitIdsEditingFinished();
        child<QSpinBox>(slave, "DelayMs")->setValue(250);
        child<QComboBox>(slave, "FormatBox")->setCurrentText("Float ABCD");
        child<QTabWidget>(slave, "PageControl1")->setCurrentIndex(2);
        auto *grid = child<StringGrid>(slave, "StringGrid3");
        QCOMPARE(gridRow(grid, 1), QString("40001|1.5|0x3FC0"));
        QCOMPARE(gridRow(grid, 2), QString("40002|-|0x0000"));
        QCOMPARE(gridRow(grid, 3), QString("40003|3.1415927|0x4049"));
        Form1->resize(730, 505);
        QCoreApplication::processEvents();
        QVERIFY2(grid->visibleRegion().boundingRect().height() > 100, "the grid is hidden by the strip");
        savePictures("bench-float", {SlaveRtu});
    }
};

int main(int argc, char **argv)
{
    // The program's own start-up: application object, message boxes and
    // message line, main frame and the hidden dialogs.
    TApplication app(argc, argv);
    Startup program;
    TestEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e.moc"
