#pragma once

#include "taskspecification.h"

#include <QObject>
#include <QRunnable>
#include <QString>

#include <memory>

// A work body that runs on a pool thread. It holds copies of its inputs only and talks back
// solely through its signals, which reach the task queued. Created on the GUI thread without a
// parent, deleted on the pool thread by the ASyncRun that carries it.
class ASyncFunc : public QObject
{
    Q_OBJECT

public:
    ASyncFunc();

    [[nodiscard]] virtual bool run() = 0;
    // Runs the body and reports its result.
    void execute();

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    void progress(qreal progress);
};

// The pool's unit of work; owns the body, so the body dies with it on the pool thread.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(std::unique_ptr<ASyncFunc> func);
    ~ASyncRun() override;

    void run() override;

private:
    std::unique_ptr<ASyncFunc> func;
};

// A task whose work is a body run on the process-wide thread pool. A user cancel does not
// interrupt the body; its result still ends the task. One body of a task runs at a time.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject* parent, double parentProgressRange);

    // After a reset whose body still runs, the new body starts once the old one has reported.
    void execute() override;
    // Does not wait: a body still running is left to end, and its result is dropped.
    void reset() override;

protected:
    // A new body built from copies of this task's inputs.
    [[nodiscard]] virtual std::unique_ptr<ASyncFunc> createFunction() = 0;
    virtual void connectDefaultSignals(ASyncFunc* func);
    // Overrides act on the result first, then call this or end the task themselves.
    virtual void runDone(bool res);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal fraction);

private:
    void startBody();

    bool bodyRunning = false;
    // The running body belongs to a run that a reset ended.
    bool staleBody = false;
    bool startWhenBodyEnds = false;
};
