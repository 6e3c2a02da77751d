// The main frame: the multiple-document window that holds the station windows,
// the menu that opens them, the clock and the message line.
//
// A station window is a plain widget made without a parent; the frame puts it
// in a QMdiSubWindow of its own and shows that maximised (the station does not
// show itself). Closing the subwindow first closes the station widget, so the
// station's closeEvent() is its close handler: it releases its port or socket
// and calls station_closed(kind) (Notices.h), which clears the frame's flag.
// The subwindow is freed after closing, and the station with it. Should a
// station window be destroyed without closing, the frame clears the flag too.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <cstdint>
#include <functional>

#include "Notices.h"  // StationKind

class QAction;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QTimer;

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // ---- station windows ---------------------------------------------------
    // 1 while a window of that kind (StationKind) exists, else 0.
    int stationOpen(int kind) const;
    // The station window of that kind (the widget given to the frame), or null.
    QWidget *station(int kind) const;
    // The MDI subwindow that frames it, or null.
    QMdiSubWindow *stationSubWindow(int kind) const;
    // Opens the station of that kind, or shows the one that exists: a
    // minimised window is restored to normal, then brought to the front.
    void openStation(int kind);

    // How a station window of a kind is made; the default makes the real
    // window class. Tests put in their own. An empty factory restores the default.
    using StationFactory = std::function<QWidget *()>;
    static void setStationFactory(int kind, StationFactory factory);

    // ---- clock and message line --------------------------------------------
    // Where the clock reads the local time; get_date_time by default.
    using ClockSource = int32_t (*)(int16_t *year, int16_t *month, int16_t *day, int16_t *hour,
                                    int16_t *minute, int16_t *second, int16_t *msec, int16_t *dayofweek);
    static void setClockSource(ClockSource source);  // null: get_date_time

    void setMessageText(const QString &text);

public slots:
    void FormCreate();
    void Timer1Timer();

    void MasterRTU1Click();
    void MasterASCII1Click();
    void MasterTCP1Click();
    void Exit1Click();
    void SlaveRTU1Click();
    void SlaveASCII1Click();
    void SlaveTCP1Click();
    void Cascade1Click();
    void TileHorizontally1Click();
    void TileVertically1Click();
    void About1Click();

    // A station of that kind has closed: its flag goes back to 0.
    void clearStationFlag(int kind);

private:
    void buildMenu();
    void buildStatusBar();
    void updateClock();
    // Lays the visible, not minimised subwindows out in rows (one above the
    // other) or in columns (side by side).
    void tileInLines(bool rows);

    static constexpr int kStations = 6;
    std::array<int, kStations> stationFlags_{};
    std::array<QPointer<QWidget>, kStations> stations_{};
    std::array<QPointer<QMdiSubWindow>, kStations> subWindows_{};
    std::array<QMetaObject::Connection, kStations> destroyedHooks_{};  // on the subwindows
    std::array<QMetaObject::Connection, kStations> formHooks_{};       // on the station widgets

    // Clock fields of the last tick.
    int16_t Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, MSec = 0, DayOfWeek = 0;

    QMdiArea *MdiArea1 = nullptr;
    QTimer *Timer1 = nullptr;
    QLabel *StatusPanel0 = nullptr;  // clock
    QLabel *StatusPanel1 = nullptr;  // message line

    QMenu *Master1 = nullptr, *Slave1 = nullptr, *Windows1 = nullptr;
    QAction *MasterRTU1 = nullptr, *MasterASCII1 = nullptr, *MasterTCP1 = nullptr, *Exit1 = nullptr;
    QAction *SlaveRTU1 = nullptr, *SlaveASCII1 = nullptr, *SlaveTCP1 = nullptr;
    QAction *Cascade1 = nullptr, *TileHorizontally1 = nullptr, *TileVertically1 = nullptr;
    QAction *About1 = nullptr;
};

extern TForm1 *Form1;
