#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, double parentProgressRange)
    : QObject(parent)
    , weight(parentProgressRange)
{}

void TaskSpecification::reset()
{
    userCancelAsked = false;
    currentState = Idle;
    reason = {};
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
    userCancelAsked = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification* /*other*/) {}

void TaskSpecification::setProgress(double fraction)
{
    weightedProgress = fraction * weight;
    emit updateProgress(weightedProgress);
}

void TaskSpecification::setParentProgressRange(double range)
{
    weight = range;
}

void TaskSpecification::finish()
{
    currentState = Finished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel(Failure why)
{
    Q_ASSERT(why.failed());
    reason = std::move(why);
    currentState = ErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel()
{
    currentState = UserCanceled;
    emit canceled(this);
}

void TaskSpecification::setRunning()
{
    currentState = Running;
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    // The broadcast also reaches the task that caused it, and tasks that are not running.
    if (other != this && currentState == Running)
        handleOtherTaskCancelled(other);
}
