#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <chrono>

class QTimer;

// Passes a fraction of progress on at most once per interval, as Qt's replies throttle theirs:
// byte progress comes on every read, and the window needs it no more often than it can be seen.
// The last value before an end is never lost: flush() passes on what is pending at once.
class ProgressThrottle : public QObject
{
    Q_OBJECT

public:
    ProgressThrottle(std::chrono::milliseconds interval, QObject* parent);

    // Passes fraction on now, or once the interval since the last report has passed.
    void report(qreal fraction);
    // Passes on what is pending at once.
    void flush();
    // Forgets what is pending.
    void drop();

signals:
    void progress(qreal fraction);

private:
    std::chrono::milliseconds interval;
    QTimer* timer;
    QElapsedTimer sinceLast;
    qreal pending = 0;
    bool isPending = false;
};
