#pragma once

#include "failure.h"
#include "taskspecification.h"

#include <QObject>
#include <QRunnable>
#include <QString>
#include <QVariant>

#include <memory>

class QThreadPool;

// A work body that runs on a pool thread. It holds copies of its inputs only and talks back
// solely through its signals, which reach the task queued: log lines and progress while it runs,
// then once its result. Created on the GUI thread without a parent, deleted on the pool thread by
// the ASyncRun that carries it. Bodies derive from ASyncAction or ASyncComputation.
class ASyncFunc : public QObject
{
    Q_OBJECT

public:
    ASyncFunc();

    // Runs the body and reports its result.
    void execute();

protected:
    struct Outcome
    {
        Failure failure;
        QVariant value; // what a computation hands on; empty after a failure
    };
    [[nodiscard]] virtual Outcome runBody() = 0;

signals:
    void runResult(Failure failure, QVariant value);
    void message(QString message);
    void progress(qreal progress);
};

// A body that hands nothing on: run() says what failed, if anything.
class ASyncAction : public ASyncFunc
{
protected:
    [[nodiscard]] virtual Failure run() = 0;

private:
    [[nodiscard]] Outcome runBody() final { return {run(), {}}; }
};

// A body that hands on a T, which the task of type ASyncTaskOf<T> keeps as its result.
template<typename T>
class ASyncComputation : public ASyncFunc
{
protected:
    [[nodiscard]] virtual Result<T> run() = 0;

private:
    [[nodiscard]] Outcome runBody() final
    {
        Result<T> result = run();
        if (!result.ok())
            return {result.failure(), {}};
        return {{}, QVariant::fromValue(std::move(result).value())};
    }
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

// A task whose work is a body run on a pool of WorkPool, pool(). A user cancel does not
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
    // Where the body runs: WorkPool::instance() unless the task needs another.
    [[nodiscard]] virtual QThreadPool* pool() const;
    // What a computation handed on, before runDone(); only ASyncTaskOf keeps it.
    virtual void takeValue(const QVariant& /*value*/) {}
    // Overrides act on the result first, then call this or end the task themselves.
    virtual void runDone(const Failure& failure);

protected slots:
    void onRunResult(const Failure& failure, const QVariant& value);
    void onProgress(qreal fraction);

private:
    void startBody();

    bool bodyRunning = false;
    // The running body belongs to a run that a reset ended.
    bool staleBody = false;
    bool startWhenBodyEnds = false;
};

// A task whose body is an ASyncComputation<T>: once it has finished, result() is what the body
// computed. The stage that needs it takes it from there, as an input of its own.
template<typename T>
class ASyncTaskOf : public ASyncTaskSpecification
{
public:
    using ASyncTaskSpecification::ASyncTaskSpecification;

    [[nodiscard]] const T& result() const { return value; }

    void reset() override
    {
        value = T();
        ASyncTaskSpecification::reset();
    }

protected:
    void takeValue(const QVariant& computed) override { value = computed.value<T>(); }

private:
    T value{};
};
