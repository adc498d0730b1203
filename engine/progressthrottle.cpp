// Throttled progress: at most one report per interval, the last one always.

#include "progressthrottle.h"

#include <QTimer>

#include <utility>

ProgressThrottle::ProgressThrottle(std::chrono::milliseconds interval, QObject* parent)
    : QObject(parent)
    , interval(interval)
    , timer(new QTimer(this))
{
    timer->setSingleShot(true);
    // A coarse timer may fire early, and the listener would hear twice within the interval.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &ProgressThrottle::flush);
}

void ProgressThrottle::report(qreal fraction)
{
    pending = fraction;
    isPending = true;
    if (!sinceLast.isValid() || sinceLast.elapsed() >= interval.count()) {
        flush();
        return;
    }
    if (!timer->isActive())
        timer->start(interval - std::chrono::milliseconds(sinceLast.elapsed()));
}

void ProgressThrottle::flush()
{
    timer->stop();
    if (!std::exchange(isPending, false))
        return;
    sinceLast.start();
    emit progress(pending);
}

void ProgressThrottle::drop()
{
    timer->stop();
    isPending = false;
}
