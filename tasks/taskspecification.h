#pragma once

#include "failure.h"

#include <QObject>
#include <QString>

// One unit of update work. Started once with execute(), it reports its progress weighted by its
// share of the parent's work, forwards log lines and errors, and ends exactly once: with
// finished, or with canceled (a failure or a user cancel, told apart by state).
// Lives on the GUI thread; nothing here is locked.
class TaskSpecification : public QObject
{
    Q_OBJECT

public:
    // Keep the numeric order: callers compare states (a task has ended once it is Finished or
    // beyond).
    enum TaskState { Idle = 0, Running = 1, Finished = 2, ErrorCanceled = 3, UserCanceled = 4 };
    Q_ENUM(TaskState)

    TaskSpecification(QObject* parent, double parentProgressRange);

    virtual void execute() = 0;
    virtual void reset();
    // Transfer figures for the once-a-second report; tasks without transfers report nothing.
    virtual void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                          bool& downloading);
    // Only marks the wish; tasks that can stop early override it.
    virtual void userCanceled();
    virtual void handleOtherTaskCancelled(TaskSpecification* other);

    [[nodiscard]] TaskState state() const { return currentState; }
    // Why the task ended ErrorCanceled; nothing failed otherwise.
    [[nodiscard]] const Failure& failure() const { return reason; }
    // The user asked this task (or an ancestor) to stop; cleared only by reset().
    [[nodiscard]] bool userCanceledFlag() const { return userCancelAsked; }
    // The task's weight in its parent's progress.
    [[nodiscard]] double parentProgressRange() const { return weight; }
    // The share done, in the parent's units: from 0 to parentProgressRange().
    [[nodiscard]] double progress() const { return weightedProgress; }

    // fraction is the share of this task that is done; progress is kept in the parent's units.
    void setProgress(double fraction);
    void setParentProgressRange(double range);

    // The end operations do not check the state: callers make sure a task ends once.
    void finish();
    void errorCancel(Failure why);
    void userCancel();

protected:
    // Idle to Running, by a concrete task's execute() or the operation that starts its subtasks.
    void setRunning();

public slots:
    void onOtherTaskCancelled(TaskSpecification* other);

signals:
    void finished(TaskSpecification* task);
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification* other);

private:
    TaskState currentState = Idle;
    Failure reason;
    bool userCancelAsked = false;
    double weight;
    double weightedProgress = 0.0;
};

using TaskState = TaskSpecification::TaskState;
