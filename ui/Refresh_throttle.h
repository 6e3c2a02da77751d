// A view that follows a busy source (memo lines, grid cells, traffic lines,
// table entries) shows what came at the end of the event-loop turn and,
// while things keep coming, at most every intervalMs: a station serving
// hundreds of requests a second lays out and paints once per refresh, not
// once per request.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class RefreshThrottle : public QObject {
public:
    RefreshThrottle(int intervalMs, std::function<void()> refresh, QObject *parent);
    // Something changed: the refresh follows, at once or at the end of the
    // interval that began with the last refresh.
    void schedule();
    // The refresh is running now (called at its start, however it was
    // started): nothing more is due, and the next interval begins.
    void refreshing();

private:
    int intervalMs_;
    QTimer timer_;
    QElapsedTimer since_;
};
