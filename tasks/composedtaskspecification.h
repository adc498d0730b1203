#pragma once

#include "taskspecification.h"

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
    // Disconnects and deletes (later) every subtask; leaves cancelSeen and subtasksDoneCalled.
    void clearSubTasks();

signals:
    void startNextTask(QPrivateSignal);

protected:
    // Called once, when no subtask runs any more and none will be started.
    virtual void subtasksDone();
    virtual void connectSignals(TaskSpecification* subTask);

    QList<TaskSpecification*> subTasks;
    QList<TaskSpecification*> waitingSubTasks;
    QList<TaskSpecification*> runningSubTasks;
    QList<TaskSpecification*> doneSubTasks;
    int maxParallel;
    bool cancelSeen = false;
    bool subtasksDoneCalled = false;

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* subTask);
    void onSubTaskCanceled(TaskSpecification* subTask);

private:
    void callSubtasksDoneOnce();
};
