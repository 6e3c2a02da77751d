// The main frame: caption, menu, clock, message line, the station windows it
// opens and arranges, and the About box.
#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>
#include <memory>

#include "About_box.h"
#include "Modal.h"
#include "Frame_panels.h"
#include "Modbus_main.h"
#include "Notices.h"

namespace {

// A station window as the frame sees one: it reports its closing like the
// real stations do, and counts how many were made.
class FakeStation : public QWidget {
public:
    static inline int made = 0;
    static inline int closeEvents = 0;
    explicit FakeStation(int kind) : kind_(kind), serial(++made)
    {
        setWindowTitle(QString("Fake station %1").arg(kind));
    }
    const int kind_;
    const int serial;

protected:
    void closeEvent(QCloseEvent *e) override
    {
        ++closeEvents;
        station_closed(kind_);
        QWidget::closeEvent(e);
    }
};

int16_t fake_fields[8];
int32_t fake_clock(int16_t *y, int16_t *mo, int16_t *d, int16_t *h, int16_t *mi, int16_t *s, int16_t *ms,
                   int16_t *dow)
{
    int16_t *out[8] = {y, mo, d, h, mi, s, ms, dow};
    for (int i = 0; i < 8; ++i)
        *out[i] = fake_fields[i];
    return 0;
}
int32_t silent_clock(int16_t *, int16_t *, int16_t *, int16_t *, int16_t *, int16_t *, int16_t *, int16_t *)
{
    return 0;
}

FakeStation *fake(QWidget *w) { return dynamic_cast<FakeStation *>(w); }

}  // namespace

class TestMainFrame : public QObject {
    Q_OBJECT
    std::unique_ptr<TForm1> frame_;

    static void useFakes()
    {
        for (int k = 0; k < 6; ++k)
            TForm1::setStationFactory(k, [k] { return new FakeStation(k); });
    }
    static void useRealStations()
    {
        for (int k = 0; k < 6; ++k)
            TForm1::setStationFactory(k, {});
    }
    QAction *action(const char *name) { return frame_->findChild<QAction *>(name); }
    QList<QMdiSubWindow *> subWindows() { return frame_mdi_area(frame_.get())->subWindowList(); }

private slots:
    void init()
    {
        useFakes();
        TForm1::setClockSource(nullptr);
        frame_ = std::make_unique<TForm1>();
    }
    void cleanup()
    {
        frame_.reset();
        useRealStations();
        TForm1::setClockSource(nullptr);
        set_modal_runner({});
    }

    void captionAndSize()
    {
        QCOMPARE(frame_->windowTitle(), QString("Tarrowind Program"));
        QCOMPARE(frame_->size(), QSize(730, 505));
        QVERIFY(qobject_cast<QMdiArea *>(frame_->centralWidget()));
    }

    void menuBarOrder()
    {
        QStringList top;
        for (QAction *a : frame_->menuBar()->actions())
            top << a->text();
        QCOMPARE(top, QStringList({"&Master", "&Slave", "&Windows", "&About"}));
        QVERIFY(!action("About1")->menu());  // a command on the bar itself
        auto items = [this](const char *menu) {
            QStringList s;
            for (QAction *a : frame_->findChild<QMenu *>(menu)->actions())
                s << a->text();
            return s;
        };
        QCOMPARE(items("Master1"), QStringList({"Master RTU", "Master ASCII", "Master TCP", "Exit"}));
        QCOMPARE(items("Slave1"), QStringList({"Slave RTU", "Slave ASCII", "Slave TCP"}));
        QCOMPARE(items("Windows1"), QStringList({"&Cascade", "Tile &Horizontally", "Tile &Vertically"}));
    }

    void menuItems_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shortcut");
        QTest::addColumn<int>("kind");  // station it opens, -1 none
        QTest::newRow("Master RTU") << "MasterRTU1" << "F4" << int(MasterRtu);
        QTest::newRow("Master ASCII") << "MasterASCII1" << "F5" << int(MasterAscii);
        QTest::newRow("Master TCP") << "MasterTCP1" << "F6" << int(MasterTcp);
        QTest::newRow("Slave RTU") << "SlaveRTU1" << "F7" << int(SlaveRtu);
        QTest::newRow("Slave ASCII") << "SlaveASCII1" << "F8" << int(SlaveAscii);
        QTest::newRow("Slave TCP") << "SlaveTCP1" << "F9" << int(SlaveTcp);
        QTest::newRow("Exit") << "Exit1" << "" << -1;
        QTest::newRow("Cascade") << "Cascade1" << "" << -1;
        QTest::newRow("Tile horizontally") << "TileHorizontally1" << "" << -1;
        QTest::newRow("Tile vertically") << "TileVertically1" << "" << -1;
        QTest::newRow("About") << "About1" << "" << -1;
    }
    void menuItems()
    {
        QFETCH(QString, name);
        QFETCH(QString, shortcut);
        QFETCH(int, kind);
        QAction *a = action(qPrintable(name));
        QVERIFY(a);
        QCOMPARE(a->shortcut().toString(), shortcut);
        if (kind < 0)
            return;
        a->trigger();
        QCOMPARE(frame_->stationOpen(kind), 1);
        QVERIFY(fake(frame_->station(kind)));
        QCOMPARE(fake(frame_->station(kind))->kind_, kind);
        for (int k = 0; k < 6; ++k)
            QCOMPARE(frame_->stationOpen(k), k == kind ? 1 : 0);
    }

    // The function keys reach the menu while the frame is the active window.
    void functionKeys()
    {
        frame_->show();
        frame_->activateWindow();
        QVERIFY2(QTest::qWaitForWindowActive(frame_.get()), "the frame got no focus");
        const Qt::Key keys[6] = {Qt::Key_F4, Qt::Key_F5, Qt::Key_F6, Qt::Key_F7, Qt::Key_F8, Qt::Key_F9};
        for (int k = 0; k < 6; ++k) {
            QTest::keyClick(frame_.get(), keys[k]);
            QCOMPARE(frame_->stationOpen(k), 1);
        }
        QCOMPARE(subWindows().size(), 6);
    }

    void clockFormat_data()
    {
        QTest::addColumn<QList<int>>("fields");  // year, month, day, hour, minute, second
        QTest::addColumn<QString>("text");
        QTest::newRow("example") << QList<int>{2003, 9, 19, 13, 26, 7} << "2003/09/19 13:26:07";
        QTest::newRow("year end") << QList<int>{1999, 12, 31, 23, 59, 59} << "1999/12/31 23:59:59";
        QTest::newRow("small year") << QList<int>{5, 1, 2, 3, 4, 5} << "0005/01/02 03:04:05";
        QTest::newRow("midnight") << QList<int>{2024, 2, 29, 0, 0, 0} << "2024/02/29 00:00:00";
    }
    void clockFormat()
    {
        QFETCH(QList<int>, fields);
        QFETCH(QString, text);
        for (int i = 0; i < 6; ++i)
            fake_fields[i] = int16_t(fields[i]);
        fake_fields[6] = 500;
        fake_fields[7] = 3;
        TForm1::setClockSource(fake_clock);
        frame_ = std::make_unique<TForm1>();  // shown at once, not a second later
        QCOMPARE(frame_clock_text(frame_.get()), text);
        fake_fields[5] = int16_t((fields[5] + 1) % 60);
        frame_->Timer1Timer();
        QVERIFY(frame_clock_text(frame_.get()) != text);
    }

    // Fields the clock leaves alone read as zeros, never as the last tick's.
    void clockWithoutFields()
    {
        fake_fields[0] = 2003;
        TForm1::setClockSource(fake_clock);
        frame_->Timer1Timer();
        TForm1::setClockSource(silent_clock);
        frame_->Timer1Timer();
        QCOMPARE(frame_clock_text(frame_.get()), QString("0000/00/00 00:00:00"));
    }

    void realClockTicks()
    {
        auto *timer = frame_->findChild<QTimer *>("Timer1");
        QVERIFY(timer);
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 1000);
        const QRegularExpression format("^\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}$");
        const QString first = frame_clock_text(frame_.get());
        QVERIFY2(format.match(first).hasMatch(), qPrintable(first));
        QVERIFY(first != "0000/00/00 00:00:00");
        const QDateTime now = QDateTime::currentDateTime();
        const QDateTime shown = QDateTime::fromString(first, "yyyy/MM/dd HH:mm:ss");
        QVERIFY(qAbs(shown.secsTo(now)) <= 2);
        QTRY_VERIFY_WITH_TIMEOUT(frame_clock_text(frame_.get()) != first, 3000);
        QVERIFY(format.match(frame_clock_text(frame_.get())).hasMatch());
    }

    void statusPanels()
    {
        auto *p0 = frame_->findChild<QLabel *>("StatusPanel0");
        auto *p1 = frame_->findChild<QLabel *>("StatusPanel1");
        QVERIFY(p0 && p1);
        QCOMPARE(p0->minimumWidth(), 120);
        QCOMPARE(p1->minimumWidth(), 100);
        QCOMPARE(frame_message_text(frame_.get()), QString("Message"));
        frame_->setMessageText("Modbus/TCP Server Close.....");
        QCOMPARE(p1->text(), QString("Modbus/TCP Server Close....."));
    }

    // ---- opening, showing and closing stations -------------------------------

    void openTwiceGivesOneWindow()
    {
        frame_->MasterRTU1Click();
        QWidget *first = frame_->station(MasterRtu);
        QMdiSubWindow *sub = frame_->stationSubWindow(MasterRtu);
        QVERIFY(first && sub);
        QVERIFY(sub->isMaximized());
        QCOMPARE(sub->widget(), first);
        QCOMPARE(sub->windowTitle(), first->windowTitle());
        frame_->MasterRTU1Click();
        QCOMPARE(frame_->station(MasterRtu), first);
        QCOMPARE(subWindows().size(), 1);
        QCOMPARE(FakeStation::made, fake(first)->serial);
    }

    void secondChoiceBringsToFront()
    {
        frame_->show();
        frame_->MasterRTU1Click();
        frame_->SlaveTCP1Click();
        QCOMPARE(frame_mdi_area(frame_.get())->activeSubWindow(), frame_->stationSubWindow(SlaveTcp));
        frame_->MasterRTU1Click();
        QCOMPARE(frame_mdi_area(frame_.get())->activeSubWindow(), frame_->stationSubWindow(MasterRtu));
        QCOMPARE(frame_mdi_area(frame_.get())->subWindowList(QMdiArea::StackingOrder).last(),
                 frame_->stationSubWindow(MasterRtu));
        QCOMPARE(subWindows().size(), 2);
    }

    void minimisedComesBackNormal()
    {
        frame_->show();
        frame_->SlaveASCII1Click();
        QMdiSubWindow *sub = frame_->stationSubWindow(SlaveAscii);
        sub->showMinimized();
        QVERIFY(sub->isMinimized());
        frame_->SlaveASCII1Click();
        QCOMPARE(frame_->stationSubWindow(SlaveAscii), sub);
        QVERIFY(!sub->isMinimized());
        QVERIFY(!sub->isMaximized());
        QVERIFY(sub->isVisible());
        QCOMPARE(frame_mdi_area(frame_.get())->activeSubWindow(), sub);
    }

    // Closed by its close box, a station clears its flag; the next choice
    // makes a fresh window.
    void closeClearsFlag()
    {
        frame_->MasterTCP1Click();
        QMdiSubWindow *sub = frame_->stationSubWindow(MasterTcp);
        const int serial = fake(frame_->station(MasterTcp))->serial;
        QPointer<QMdiSubWindow> watch(sub);
        QVERIFY(sub->close());
        QCOMPARE(frame_->stationOpen(MasterTcp), 0);
        QVERIFY(!frame_->station(MasterTcp));
        QTRY_VERIFY(watch.isNull());  // freed once closed
        frame_->MasterTCP1Click();
        QCOMPARE(frame_->stationOpen(MasterTcp), 1);
        QVERIFY(fake(frame_->station(MasterTcp))->serial > serial);
        QCOMPARE(subWindows().size(), 1);
    }

    // Reopened before the closed one is freed: the old window's end must not
    // clear the new one's flag.
    void reopenBeforeOldIsFreed()
    {
        frame_->SlaveRTU1Click();
        QPointer<QMdiSubWindow> old(frame_->stationSubWindow(SlaveRtu));
        old->close();
        frame_->SlaveRTU1Click();
        QWidget *fresh = frame_->station(SlaveRtu);
        QTRY_VERIFY(old.isNull());
        QCOMPARE(frame_->stationOpen(SlaveRtu), 1);
        QCOMPARE(frame_->station(SlaveRtu), fresh);
    }

    // A station that closes itself (not through its subwindow) runs its close
    // handler once and leaves no empty frame behind.
    void stationClosesItself()
    {
        frame_->show();
        frame_->SlaveASCII1Click();
        frame_->MasterRTU1Click();
        QPointer<QMdiSubWindow> sub(frame_->stationSubWindow(SlaveAscii));
        const int before = FakeStation::closeEvents;
        frame_->station(SlaveAscii)->close();
        QCOMPARE(frame_->stationOpen(SlaveAscii), 0);
        QTRY_VERIFY(sub.isNull());
        QCOMPARE(FakeStation::closeEvents, before + 1);
        QCOMPARE(subWindows().size(), 1);
        QCOMPARE(frame_->stationOpen(MasterRtu), 1);
    }

    // However a station window goes, its flag never points to a dead window.
    void destroyedWithoutClosing_data()
    {
        QTest::addColumn<bool>("wholeFrame");
        QTest::newRow("station widget deleted") << false;
        QTest::newRow("subwindow deleted") << true;
    }
    void destroyedWithoutClosing()
    {
        QFETCH(bool, wholeFrame);
        frame_->MasterASCII1Click();
        if (wholeFrame)
            delete frame_->stationSubWindow(MasterAscii);
        else
            delete frame_->station(MasterAscii);
        QCOMPARE(frame_->stationOpen(MasterAscii), 0);
        QVERIFY(!frame_->station(MasterAscii));
        QTRY_COMPARE(subWindows().size(), 0);  // no empty frame left behind
        frame_->MasterASCII1Click();
        QCOMPARE(frame_->stationOpen(MasterAscii), 1);
    }

    // Closing the frame with stations open takes them along; a late notice
    // from a station finds no frame and does no harm.
    void frameGoesWithStationsOpen()
    {
        for (int k = 0; k < 6; ++k)
            frame_->openStation(k);
        QPointer<QWidget> st(frame_->station(SlaveTcp));
        frame_.reset();
        QVERIFY(st.isNull());
        station_closed(SlaveTcp);
    }

    void exitClosesFrame()
    {
        frame_->show();
        QVERIFY(frame_->isVisible());
        frame_->findChild<QAction *>("Exit1")->trigger();
        QVERIFY(!frame_->isVisible());
    }

    // ---- arranging ----------------------------------------------------------

    void tile_data()
    {
        QTest::addColumn<bool>("horizontally");
        QTest::newRow("horizontally") << true;
        QTest::newRow("vertically") << false;
    }
    void tile()
    {
        QFETCH(bool, horizontally);
        frame_->show();
        frame_->MasterRTU1Click();
        frame_->MasterASCII1Click();
        frame_->SlaveRTU1Click();
        frame_->SlaveTCP1Click();
        QMdiSubWindow *iconic = frame_->stationSubWindow(SlaveTcp);
        iconic->showMinimized();
        if (horizontally)
            frame_->TileHorizontally1Click();
        else
            frame_->TileVertically1Click();
        const QRect area = frame_mdi_area(frame_.get())->viewport()->rect();
        QList<QRect> rects;
        for (int k : {MasterRtu, MasterAscii, SlaveRtu}) {
            QMdiSubWindow *s = frame_->stationSubWindow(k);
            QVERIFY(!s->isMaximized());
            rects << s->geometry();
        }
        QVERIFY(iconic->isMinimized());
        std::sort(rects.begin(), rects.end(), [&](const QRect &a, const QRect &b) {
            return horizontally ? a.top() < b.top() : a.left() < b.left();
        });
        int edge = 0;
        for (const QRect &r : rects) {
            if (horizontally) {
                QCOMPARE(r.left(), 0);
                QCOMPARE(r.width(), area.width());
                QCOMPARE(r.top(), edge);
                edge = r.bottom() + 1;
            } else {
                QCOMPARE(r.top(), 0);
                QCOMPARE(r.height(), area.height());
                QCOMPARE(r.left(), edge);
                edge = r.right() + 1;
            }
        }
        QCOMPARE(edge, horizontally ? area.height() : area.width());
    }

    void cascade()
    {
        frame_->show();
        frame_->MasterRTU1Click();
        frame_->SlaveRTU1Click();
        frame_->Cascade1Click();
        QMdiSubWindow *a = frame_->stationSubWindow(MasterRtu);
        QMdiSubWindow *b = frame_->stationSubWindow(SlaveRtu);
        QVERIFY(!a->isMaximized() && !b->isMaximized());
        QVERIFY(a->pos() != b->pos());
    }

    // ---- the real station windows ----------------------------------------------

    void realStations_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("className");
        QTest::newRow("Master RTU") << int(MasterRtu) << "TMSRTU_Form";
        QTest::newRow("Master ASCII") << int(MasterAscii) << "TMSASC_Form";
        QTest::newRow("Master TCP") << int(MasterTcp) << "TMSTCP_Form";
        QTest::newRow("Slave RTU") << int(SlaveRtu) << "TSLRTU_Form";
        QTest::newRow("Slave ASCII") << int(SlaveAscii) << "TSLASC_Form";
        QTest::newRow("Slave TCP") << int(SlaveTcp) << "TSLTCP_Form";
    }
    void realStations()
    {
        QFETCH(int, kind);
        QFETCH(QString, className);
        useRealStations();
        frame_->openStation(kind);
        QWidget *w = frame_->station(kind);
        QVERIFY(w);
        QCOMPARE(QString(w->metaObject()->className()), className);
        QVERIFY(frame_->stationSubWindow(kind)->isMaximized());
        QPointer<QMdiSubWindow> sub(frame_->stationSubWindow(kind));
        sub->close();
        QCOMPARE(frame_->stationOpen(kind), 0);
        QTRY_VERIFY(sub.isNull());
    }

    // ---- About box ------------------------------------------------------------

    void aboutBox()
    {
        QString title;
        QStringList texts;
        bool picture = false, okDefault = false;
        int result = -1;
        set_modal_runner([&](QDialog *d) {
            title = d->windowTitle();
            for (QLabel *l : d->findChildren<QLabel *>())
                if (!l->text().isEmpty())
                    texts << l->text();
            auto *icon = d->findChild<QLabel *>("ProgramIcon");
            picture = icon && !icon->pixmap().isNull();
            auto *ok = d->findChild<QPushButton *>("OKButton");
            okDefault = ok && ok->isDefault() && ok->text() == "OK";
            d->show();
            QTest::keyClick(d, Qt::Key_Return);
            result = d->result();
            return result;
        });
        frame_->findChild<QAction *>("About1")->trigger();
        QCOMPARE(title, QString("About"));
        QVERIFY(texts.contains("Tarrowind"));
        QVERIFY(texts.contains("Version 1.0"));
        QVERIFY(picture);
        QVERIFY(okDefault);
        QCOMPARE(result, int(QDialog::Accepted));
        QVERIFY(AboutBox && !AboutBox->isVisible());
        frame_.reset();
        QVERIFY(!AboutBox);  // made for the frame, gone with it
    }
};

QTEST_MAIN(TestMainFrame)
#include "tst_main_frame.moc"
