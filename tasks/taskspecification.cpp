#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, double parentProgressRange)
    : QObject(parent)
    , parentProgressRange(parentProgressRange)
{}

void TaskSpecification::reset()
{
    userCanceledFlag = false;
    state = Idle;
    setProgress(0);
}

void TaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                 bool& downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::userCanceled()
{
    userCanceledFlag = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification* /*other*/) {}

void TaskSpecification::setProgress(double fraction)
{
    progress = fraction * parentProgressRange;
    emit updateProgress(progress);
}

void TaskSpecification::setParentProgressRange(double range)
{
    parentProgressRange = range;
}

void TaskSpecification::finish()
{
    state = Finished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel()
{
    state = ErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel()
{
    state = UserCanceled;
    emit canceled(this);
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    // The broadcast also reaches the task that caused it, and tasks that are not running.
    if (other != this && state == Running)
        handleOtherTaskCancelled(other);
}
