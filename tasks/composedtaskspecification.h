#pragma once

#include "taskspecification.h"

#include <QHash>
#include <QList>

#include <functional>

// An inner node of the task tree: runs its subtasks in the order they were added, at most
// maxParallel at a time, sums their progress, passes their texts up, spreads cancellation and
// ends according to how its subtasks ended. Owns its subtasks.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxParallel, double parentProgressRange, QObject* parent);
    ~ComposedTaskSpecification() override;

    // Makes the subtask at index, from 0 to the count given to addSubTasksOnDemand().
    using SubTaskMaker = std::function<TaskSpecification*(qsizetype index)>;

    // Re-arms the same subtasks for another run.
    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    void addSubTask(TaskSpecification* t);
    // For stages of many files: count subtasks, run after those added so far, each made by make
    // only when it is due to start and deleted (later) once it has finished, so that the task
    // holds its running subtasks only, however long its list. The finished ones stay counted in
    // the progress and the transfer figures. Only for subclasses that build their subtasks anew
    // on every run; a reset or a retry drops the rest of the list.
    void addSubTasksOnDemand(qsizetype count, SubTaskMaker make);
    void executeSubTasks();
    [[nodiscard]] TaskState getStateFromSubTasks() const;
    // Disconnects and deletes (later) every subtask; leaves the bookkeeping of the run.
    void clearSubTasks();

signals:
    void startNextTask(QPrivateSignal);

protected:
    // Called once, when no subtask runs any more and none will be started.
    virtual void subtasksDone();
    virtual void connectSignals(TaskSpecification* subTask);

    // The reset of a subclass that builds its subtasks anew on every run: deletes the subtasks,
    // forgets how the last run went and returns the task to Idle.
    void resetWithoutSubTasks();
    // Deletes the subtasks so that new ones make another attempt within the same run. The task
    // stays Running and keeps a cancel that the user asked for meanwhile; its progress starts
    // again from 0.
    void clearSubTasksForRetry();
    // Ends the task as failed while a subtask is still ending; that subtask's end does not end
    // the task a second time.
    void errorCancelBeforeSubtasksEnd(Failure why);
    // Why the subtasks failed: the first failure among them, or the failure of another part
    // that stopped them.
    [[nodiscard]] Failure subTaskFailure() const;

    QList<TaskSpecification*> subTasks;
    QList<TaskSpecification*> waitingSubTasks;
    QList<TaskSpecification*> runningSubTasks;
    QList<TaskSpecification*> doneSubTasks;
    int maxParallel;

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* subTask);
    void onSubTaskCanceled(TaskSpecification* subTask);

private:
    void callSubtasksDoneOnce();
    // Every reset, and every retry, goes through here.
    void forgetLastRun();
    // Keeps the sum of the subtasks' progress as it changes, so that a report costs the same
    // whatever the number of subtasks.
    void recordProgress(const TaskSpecification* subTask, double weightedProgress);
    [[nodiscard]] qsizetype subTasksToMake() const { return onDemandCount - onDemandMade; }
    [[nodiscard]] TaskSpecification* takeNextWaiting();
    // Keeps what a finished on-demand subtask contributed, then lets it go.
    void release(TaskSpecification* subTask);

    QHash<const TaskSpecification*, double> reportedProgress;
    double progressSum = 0.0;

    SubTaskMaker makeOnDemand;
    qsizetype onDemandCount = 0;
    qsizetype onDemandMade = 0;
    // Of the subtasks already let go: their bytes, and those that arrived since the last tick.
    quint64 releasedDone = 0;
    quint64 releasedTotal = 0;
    quint64 releasedSpeed = 0;

    bool cancelSeen = false;
    Failure firstFailure;
    bool subtasksDoneCalled = false;
};
