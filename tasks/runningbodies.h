#pragma once

#include <QObject>

// The pool bodies of the asynchronous tasks that have not reported back yet, counted on the GUI
// thread: what waiting for the pool to be idle would wait for, told by a signal instead. A body
// is counted off by a call it posts after its result, so at idle() every late result of every
// body has arrived.
class RunningBodies : public QObject
{
    Q_OBJECT

public:
    [[nodiscard]] static RunningBodies* instance();

    // On the GUI thread, before the body is handed to the pool.
    void started() { ++count; }
    // From the body's own thread, after it has posted its result.
    static void postEnded();
    [[nodiscard]] bool isIdle() const { return count == 0; }

signals:
    void idle();

private slots:
    void onEnded();

private:
    int count = 0;
};
