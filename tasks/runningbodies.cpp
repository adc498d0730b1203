#include "runningbodies.h"

#include <QGlobalStatic>

namespace {
Q_GLOBAL_STATIC(RunningBodies, theBodies)
}

RunningBodies* RunningBodies::instance()
{
    return theBodies();
}

void RunningBodies::postEnded()
{
    // Queued after the body's result: both are posted to the GUI thread from this one, in order.
    QMetaObject::invokeMethod(instance(), &RunningBodies::onEnded, Qt::QueuedConnection);
}

void RunningBodies::onEnded()
{
    Q_ASSERT(count > 0);
    if (--count == 0)
        emit idle();
}
