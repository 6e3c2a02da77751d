// What the main frame's status bar shows, read from its panels as the
// operator sees them: panel 0 the clock, panel 1 the message line.
#pragma once

#include <QLabel>
#include <QMdiArea>
#include <QWidget>

inline QString frame_panel_text(const QWidget *frame, int panel)
{
    const auto *label = frame->findChild<QLabel *>(QStringLiteral("StatusPanel%1").arg(panel));
    return label ? label->text() : QStringLiteral("<no StatusPanel%1>").arg(panel);
}
inline QString frame_clock_text(const QWidget *frame) { return frame_panel_text(frame, 0); }
inline QString frame_message_text(const QWidget *frame) { return frame_panel_text(frame, 1); }

// The frame's work area, which holds the station windows.
inline QMdiArea *frame_mdi_area(const QWidget *frame) { return frame->findChild<QMdiArea *>(QStringLiteral("MdiArea1")); }
