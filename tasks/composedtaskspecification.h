#pragma once

#include "taskspecification.h"

#include <QHash>
#include <QList>

// An inner node of the task tree: runs its subtasks in the order they were added, at most
// maxParallel at a time, sums their progress, passes their texts up, spreads cancellation and
// ends according to how its subtasks ended. Owns its subtasks.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxParallel, double parentProgressRange, QObject* parent);
    ~ComposedTaskSpecification() override;

    // Re-arms the same subtasks for another run.
    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    void addSubTask(TaskSpecification* t);
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
    void errorCancelBeforeSubtasksEnd();

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

    QHash<const TaskSpecification*, double> reportedProgress;
    double progressSum = 0.0;

    bool cancelSeen = false;
    bool subtasksDoneCalled = false;
};
