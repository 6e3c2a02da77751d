#include "Modbus_main.h"

#include <QAction>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>

#include "About_box.h"
#include "Master_ascii.h"
#include "Master_rtu.h"
#include "Master_tcp.h"
#include "Modal.h"
#include "Slave_ascii.h"
#include "Slave_rtu.h"
#include "Slave_tcp.h"
#include "corvane.h"

TForm1 *Form1 = nullptr;

namespace {

std::array<TForm1::StationFactory, 6> &custom_factories()
{
    static std::array<TForm1::StationFactory, 6> f;
    return f;
}

QWidget *make_station(int kind)
{
    if (const auto &custom = custom_factories()[kind])
        return custom();
    switch (kind) {
    case MasterRtu: return new TMSRTU_Form;
    case MasterAscii: return new TMSASC_Form;
    case MasterTcp: return new TMSTCP_Form;
    case SlaveRtu: return new TSLRTU_Form;
    case SlaveAscii: return new TSLASC_Form;
    case SlaveTcp: return new TSLTCP_Form;
    }
    return nullptr;
}

TForm1::ClockSource g_clock = nullptr;

// The frame that receives station_closed(); the newest one.
TForm1 *g_sinkOwner = nullptr;

bool valid_kind(int kind) { return kind >= 0 && kind < 6; }

}  // namespace

void TForm1::setStationFactory(int kind, StationFactory factory)
{
    if (valid_kind(kind))
        custom_factories()[kind] = std::move(factory);
}

void TForm1::setClockSource(ClockSource source) { g_clock = source; }

TForm1::TForm1(QWidget *parent) : QMainWindow(parent)
{
    setObjectName("Form1");
    setWindowTitle("Tarrowind Program");
    resize(730, 505);

    MdiArea1 = new QMdiArea(this);
    MdiArea1->setObjectName("MdiArea1");
    MdiArea1->setBackground(palette().brush(QPalette::Dark));  // the button-shadow colour
    setCentralWidget(MdiArea1);

    buildMenu();
    buildStatusBar();

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    Timer1->start();

    g_sinkOwner = this;
    set_station_closed_sink([](int kind) {
        if (g_sinkOwner)
            g_sinkOwner->clearStationFlag(kind);
    });

    FormCreate();
}

TForm1::~TForm1()
{
    if (Form1 == this)
        Form1 = nullptr;
    if (g_sinkOwner == this) {
        g_sinkOwner = nullptr;
        set_station_closed_sink({});
    }
    // The station windows are destroyed with the frame's children, after this
    // body: their destroyed() must not reach a frame that is half gone.
    for (auto &hook : destroyedHooks_)
        disconnect(hook);
    for (auto &hook : formHooks_)
        disconnect(hook);
}

void TForm1::buildMenu()
{
    QMenuBar *bar = menuBar();
    bar->setObjectName("MainMenu1");

    auto item = [this](QMenu *menu, const char *name, const QString &caption, QKeySequence key,
                       void (TForm1::*slot)()) {
        QAction *a = menu->addAction(caption);
        a->setObjectName(name);
        if (!key.isEmpty())
            a->setShortcut(key);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };

    Master1 = bar->addMenu("&Master");
    Master1->setObjectName("Master1");
    MasterRTU1 = item(Master1, "MasterRTU1", "Master RTU", QKeySequence(Qt::Key_F4), &TForm1::MasterRTU1Click);
    MasterASCII1 = item(Master1, "MasterASCII1", "Master ASCII", QKeySequence(Qt::Key_F5), &TForm1::MasterASCII1Click);
    MasterTCP1 = item(Master1, "MasterTCP1", "Master TCP", QKeySequence(Qt::Key_F6), &TForm1::MasterTCP1Click);
    Exit1 = item(Master1, "Exit1", "Exit", {}, &TForm1::Exit1Click);

    Slave1 = bar->addMenu("&Slave");
    Slave1->setObjectName("Slave1");
    SlaveRTU1 = item(Slave1, "SlaveRTU1", "Slave RTU", QKeySequence(Qt::Key_F7), &TForm1::SlaveRTU1Click);
    SlaveASCII1 = item(Slave1, "SlaveASCII1", "Slave ASCII", QKeySequence(Qt::Key_F8), &TForm1::SlaveASCII1Click);
    SlaveTCP1 = item(Slave1, "SlaveTCP1", "Slave TCP", QKeySequence(Qt::Key_F9), &TForm1::SlaveTCP1Click);

    Windows1 = bar->addMenu("&Windows");
    Windows1->setObjectName("Windows1");
    Cascade1 = item(Windows1, "Cascade1", "&Cascade", {}, &TForm1::Cascade1Click);
    TileHorizontally1 = item(Windows1, "TileHorizontally1", "Tile &Horizontally", {}, &TForm1::TileHorizontally1Click);
    TileVertically1 = item(Windows1, "TileVertically1", "Tile &Vertically", {}, &TForm1::TileVertically1Click);

    // A command directly on the menu bar, not a drop-down.
    About1 = bar->addAction("&About");
    About1->setObjectName("About1");
    connect(About1, &QAction::triggered, this, &TForm1::About1Click);
}

void TForm1::buildStatusBar()
{
    QStatusBar *bar = statusBar();
    bar->setObjectName("StatusBar1");
    // The status bar's panels are labels with fixed minimum widths; the message
    // line also takes the rest of the bar so that a long notice is not cut at
    // 100 pixels. (QStatusBar has no panel of a set width that keeps its text;
    // its own showMessage() would hide the panels, so it is not used.)
    auto panel = [bar](const char *name, const QString &text, int width, int stretch) {
        auto *l = new QLabel(text, bar);
        l->setObjectName(name);
        l->setFrameShape(QFrame::Panel);
        l->setFrameShadow(QFrame::Sunken);
        l->setMinimumWidth(width);
        bar->addWidget(l, stretch);
        return l;
    };
    StatusPanel0 = panel("StatusPanel0", "0000/00/00 00:00:00", 120, 0);
    StatusPanel1 = panel("StatusPanel1", "Message", 100, 1);
}

void TForm1::FormCreate()
{
    stationFlags_.fill(0);
    updateClock();
}

void TForm1::Timer1Timer() { updateClock(); }

void TForm1::updateClock()
{
    Year = Month = Day = Hour = Minute = Second = MSec = DayOfWeek = 0;
    ClockSource read = g_clock ? g_clock : &get_date_time;
    read(&Year, &Month, &Day, &Hour, &Minute, &Second, &MSec, &DayOfWeek);
    StatusPanel0->setText(QString::asprintf("%04d/%02d/%02d %02d:%02d:%02d", int(Year), int(Month), int(Day),
                                            int(Hour), int(Minute), int(Second)));
}

void TForm1::setMessageText(const QString &text) { StatusPanel1->setText(text); }

// ---- station windows ------------------------------------------------------

int TForm1::stationOpen(int kind) const { return valid_kind(kind) ? stationFlags_[kind] : 0; }

QWidget *TForm1::station(int kind) const
{
    return valid_kind(kind) && stationFlags_[kind] ? stations_[kind].data() : nullptr;
}

QMdiSubWindow *TForm1::stationSubWindow(int kind) const
{
    return valid_kind(kind) && stationFlags_[kind] ? subWindows_[kind].data() : nullptr;
}

void TForm1::openStation(int kind)
{
    if (!valid_kind(kind))
        return;
    if (stationFlags_[kind] == 1 && subWindows_[kind]) {
        QMdiSubWindow *sub = subWindows_[kind];
        if (sub->isMinimized())
            sub->showNormal();
        sub->show();
        sub->raise();
        MdiArea1->setActiveSubWindow(sub);
        return;
    }

    QWidget *form = make_station(kind);
    if (!form)
        return;
    // A station that is its own subwindow is framed as it is; any other widget
    // gets a subwindow that is freed with it when closed.
    QMdiSubWindow *sub = qobject_cast<QMdiSubWindow *>(form);
    if (sub) {
        sub->setAttribute(Qt::WA_DeleteOnClose);
        MdiArea1->addSubWindow(sub);
    } else {
        sub = MdiArea1->addSubWindow(form);
    }
    stations_[kind] = form;
    subWindows_[kind] = sub;
    stationFlags_[kind] = 1;
    // A window destroyed without closing (deleted by its owner, or a close
    // handler that failed to report) must not leave its flag set. A station
    // widget deleted on its own would leave an empty frame behind (see
    // clearStationFlag).
    disconnect(destroyedHooks_[kind]);
    disconnect(formHooks_[kind]);
    destroyedHooks_[kind] = connect(sub, &QObject::destroyed, this, [this, kind] {
        // The subwindow is being destroyed: it is no longer a QMdiSubWindow,
        // so the pointer to it is dropped unread (reading it as one is undefined).
        subWindows_[kind] = nullptr;
        clearStationFlag(kind);
    });
    if (form != sub)
        formHooks_[kind] = connect(form, &QObject::destroyed, this, [this, kind] { clearStationFlag(kind); });
    sub->showMaximized();
    MdiArea1->setActiveSubWindow(sub);
}

void TForm1::clearStationFlag(int kind)
{
    if (!valid_kind(kind))
        return;
    // A station that closed or deleted its own widget (rather than being
    // closed through its subwindow) leaves the subwindow up and empty. Once
    // control is back in the event loop such a frame is deleted: deleted, not
    // closed, since closing it would run the station's close handler again.
    // A subwindow that closed normally is hidden by then and freed by Qt.
    if (QPointer<QMdiSubWindow> frame = subWindows_[kind]) {
        QTimer::singleShot(0, this, [frame] {
            if (frame && !frame->isHidden() && (!frame->widget() || frame->widget()->isHidden()))
                frame->deleteLater();
        });
    }
    stationFlags_[kind] = 0;
    stations_[kind] = nullptr;
    subWindows_[kind] = nullptr;
    disconnect(destroyedHooks_[kind]);
    disconnect(formHooks_[kind]);
    destroyedHooks_[kind] = {};
    formHooks_[kind] = {};
}

void TForm1::MasterRTU1Click() { openStation(MasterRtu); }
void TForm1::MasterASCII1Click() { openStation(MasterAscii); }
void TForm1::MasterTCP1Click() { openStation(MasterTcp); }
void TForm1::SlaveRTU1Click() { openStation(SlaveRtu); }
void TForm1::SlaveASCII1Click() { openStation(SlaveAscii); }
void TForm1::SlaveTCP1Click() { openStation(SlaveTcp); }

void TForm1::Exit1Click() { close(); }

// ---- arranging the station windows ------------------------------------------

void TForm1::Cascade1Click() { MdiArea1->cascadeSubWindows(); }

// QMdiArea::tileSubWindows() lays the windows in a grid; the frame's two tile
// commands want them in one row or one column, so they are placed here.
void TForm1::TileHorizontally1Click() { tileInLines(true); }
void TForm1::TileVertically1Click() { tileInLines(false); }

void TForm1::tileInLines(bool rows)
{
    QList<QMdiSubWindow *> list;
    const QList<QMdiSubWindow *> stacking = MdiArea1->subWindowList(QMdiArea::StackingOrder);
    for (auto it = stacking.rbegin(); it != stacking.rend(); ++it)  // front window first
        if ((*it)->isVisible() && !(*it)->isMinimized())
            list << *it;
    if (list.isEmpty())
        return;
    const QRect area = MdiArea1->viewport()->rect();
    const int n = int(list.size());
    for (int i = 0; i < n; ++i) {
        QMdiSubWindow *sub = list[i];
        if (sub->isMaximized())
            sub->showNormal();
        QRect r;
        if (rows) {
            const int h = area.height() / n;
            r = QRect(0, i * h, area.width(), i == n - 1 ? area.height() - i * h : h);
        } else {
            const int w = area.width() / n;
            r = QRect(i * w, 0, i == n - 1 ? area.width() - i * w : w, area.height());
        }
        sub->setGeometry(r);
    }
}

void TForm1::About1Click()
{
    if (!AboutBox)
        AboutBox = new TAboutBox(this);
    run_modal(AboutBox);
}
