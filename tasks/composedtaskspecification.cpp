#include "composedtaskspecification.h"

#include <QCoreApplication>

#include <utility>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, double parentProgressRange,
                                                     QObject* parent)
    : TaskSpecification(parent, parentProgressRange)
    , maxParallel(maxParallel)
{
    Q_ASSERT(maxParallel >= 1);
    // Every start goes through the event loop: subtasks that end inside their own execute()
    // would otherwise start the next one recursively, and the first starts would happen
    // before our own execute() has returned.
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearSubTasks();
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification* t : std::as_const(subTasks))
        t->reset();
    waitingSubTasks = subTasks;
    runningSubTasks.clear();
    doneSubTasks.clear();
    forgetLastRun();
    TaskSpecification::reset();
}

void ComposedTaskSpecification::resetWithoutSubTasks()
{
    clearSubTasks();
    forgetLastRun();
    TaskSpecification::reset();
}

void ComposedTaskSpecification::clearSubTasksForRetry()
{
    clearSubTasks();
    forgetLastRun();
    setProgress(0);
}

void ComposedTaskSpecification::errorCancelBeforeSubtasksEnd(Failure why)
{
    subtasksDoneCalled = true;
    errorCancel(std::move(why));
}

Failure ComposedTaskSpecification::subTaskFailure() const
{
    if (firstFailure.failed())
        return firstFailure;
    return Failure::stoppedByAnother();
}

void ComposedTaskSpecification::forgetLastRun()
{
    cancelSeen = false;
    firstFailure = {};
    subtasksDoneCalled = false;
    // Starts queued for the run that is now void must not reach the next one.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
}

void ComposedTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                         quint64& speed, bool& downloading)
{
    downloading = false;
    downloadDone += releasedDone;
    downloadTotal += releasedTotal;
    speed += std::exchange(releasedSpeed, 0);
    for (TaskSpecification* t : std::as_const(subTasks)) {
        quint64 subDone = 0;
        quint64 subTotal = 0;
        quint64 subSpeed = 0;
        bool subDownloading = false;
        t->timeTick(subDone, subTotal, subSpeed, subDownloading);
        if (subDownloading)
            downloading = true;
        speed += subSpeed;
        // A transfer of unknown size would make the done/total ratio meaningless.
        if (subTotal != 0) {
            downloadDone += subDone;
            downloadTotal += subTotal;
        }
    }
}

void ComposedTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state() != Running)
        return;
    // A subtask's cancel may end this task and trigger our owner's reaction before the loop
    // is through; iterate over a copy.
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* t : tasks)
        t->userCanceled();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* t)
{
    subTasks.append(t);
    waitingSubTasks.append(t);
    recordProgress(t, t->progress());
    connectSignals(t);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::addSubTasksOnDemand(qsizetype count, SubTaskMaker make)
{
    Q_ASSERT(!makeOnDemand);
    makeOnDemand = std::move(make);
    onDemandCount = count;
    onDemandMade = 0;
}

void ComposedTaskSpecification::connectSignals(TaskSpecification* subTask)
{
    connect(subTask, &TaskSpecification::finished, this,
            &ComposedTaskSpecification::onSubTaskFinished);
    connect(subTask, &TaskSpecification::canceled, this,
            &ComposedTaskSpecification::onSubTaskCanceled);
    connect(subTask, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(subTask, &TaskSpecification::updateProgress, this, [this, subTask](qreal progress) {
        recordProgress(subTask, progress);
        onUpdateProgress(progress);
    });
    connect(subTask, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, subTask,
            &TaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::executeSubTasks()
{
    setRunning();
    const qsizetype n = qMin(waitingSubTasks.size() + subTasksToMake(), qsizetype(maxParallel));
    if (n == 0) {
        subtasksDone();
        return;
    }
    for (qsizetype i = 0; i < n; ++i)
        emit startNextTask(QPrivateSignal());
}

TaskState ComposedTaskSpecification::getStateFromSubTasks() const
{
    bool anyUserCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification* t : subTasks) {
        // A failure anywhere wins over everything else.
        if (t->state() == ErrorCanceled)
            return ErrorCanceled;
        if (t->state() == UserCanceled)
            anyUserCanceled = true;
        if (t->state() != Finished)
            allFinished = false;
    }
    if (anyUserCanceled)
        return UserCanceled;
    if (allFinished && subTasksToMake() == 0)
        return Finished;
    // Some subtask never ran or never ended: why we stopped decides.
    if (userCanceledFlag())
        return UserCanceled;
    if (cancelSeen)
        return ErrorCanceled;
    return Running;
}

void ComposedTaskSpecification::clearSubTasks()
{
    for (TaskSpecification* t : std::as_const(subTasks)) {
        disconnect(t, nullptr, this, nullptr);
        t->deleteLater();
    }
    subTasks.clear();
    waitingSubTasks.clear();
    runningSubTasks.clear();
    doneSubTasks.clear();
    reportedProgress.clear();
    progressSum = 0.0;
    makeOnDemand = nullptr;
    onDemandCount = 0;
    onDemandMade = 0;
    releasedDone = 0;
    releasedTotal = 0;
    releasedSpeed = 0;
}

void ComposedTaskSpecification::recordProgress(const TaskSpecification* subTask,
                                               double weightedProgress)
{
    double& reported = reportedProgress[subTask];
    progressSum += weightedProgress - reported;
    reported = weightedProgress;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getStateFromSubTasks()) {
    case Finished:
        finish();
        break;
    case UserCanceled:
        userCancel();
        break;
    default:
        errorCancel(subTaskFailure());
        break;
    }
}

TaskSpecification* ComposedTaskSpecification::takeNextWaiting()
{
    if (waitingSubTasks.isEmpty())
        addSubTask(makeOnDemand(onDemandMade++));
    return waitingSubTasks.takeFirst();
}

void ComposedTaskSpecification::release(TaskSpecification* subTask)
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    subTask->timeTick(done, total, speed, downloading);
    if (total != 0) {
        releasedDone += done;
        releasedTotal += total;
    }
    releasedSpeed += speed;
    // Its share stays in progressSum for good.
    reportedProgress.remove(subTask);
    subTasks.removeOne(subTask);
    disconnect(subTask, nullptr, this, nullptr);
    disconnect(this, nullptr, subTask, nullptr);
    subTask->deleteLater();
}

void ComposedTaskSpecification::onStartNextTask()
{
    const bool more = !waitingSubTasks.isEmpty() || subTasksToMake() > 0;
    if (more && !cancelSeen && !userCanceledFlag()) {
        TaskSpecification* next = takeNextWaiting();
        runningSubTasks.append(next);
        next->execute();
    } else if (runningSubTasks.isEmpty()) {
        callSubtasksDoneOnce();
    }
    // Otherwise a subtask still runs; its end brings us back here.
}

void ComposedTaskSpecification::onUpdateProgress(qreal /*doneFrac*/)
{
    // Each subtask's progress is already weighted, and the weights add up to 1.0.
    setProgress(progressSum);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* subTask)
{
    runningSubTasks.removeOne(subTask);
    if (makeOnDemand)
        release(subTask);
    else
        doneSubTasks.append(subTask);
    emit startNextTask(QPrivateSignal());
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* subTask)
{
    runningSubTasks.removeOne(subTask);
    doneSubTasks.append(subTask);
    // A subtask stopped by the user's cancel is no failure of its siblings: the cancel is on its
    // way to them too. Telling them now would make their downloads end as failures, and a user's
    // cancel would be reported as an error.
    const bool stoppedByUser = userCanceledFlag() && subTask->state() == UserCanceled;
    // The first failure is the reason; the siblings it stops end with failures of their own.
    if (subTask->state() == ErrorCanceled && !firstFailure.failed())
        firstFailure = subTask->failure();
    if (!cancelSeen && !stoppedByUser) {
        cancelSeen = true;
        // Running siblings that can stop (downloads) end inside this emission and come back
        // into this slot.
        emit otherTaskCancelled(subTask);
    }
    if (runningSubTasks.isEmpty())
        callSubtasksDoneOnce();
}

void ComposedTaskSpecification::callSubtasksDoneOnce()
{
    // Both the start path and the cancel path can find nothing running any more.
    if (subtasksDoneCalled)
        return;
    subtasksDoneCalled = true;
    subtasksDone();
}
