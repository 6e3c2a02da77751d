#include "Refresh_throttle.h"

#include <algorithm>

RefreshThrottle::RefreshThrottle(int intervalMs, std::function<void()> refresh, QObject *parent)
    : QObject(parent), intervalMs_(intervalMs)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, std::move(refresh));
}

void RefreshThrottle::schedule()
{
    if (timer_.isActive())
        return;
    const qint64 since = since_.isValid() ? since_.elapsed() : qint64(intervalMs_);
    timer_.start(int(std::clamp<qint64>(intervalMs_ - since, 0, intervalMs_)));
}

void RefreshThrottle::refreshing()
{
    timer_.stop();
    since_.start();
}
