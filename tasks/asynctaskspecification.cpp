#include "asynctaskspecification.h"

#include "runningbodies.h"
#include "workpool.h"

#include <QThreadPool>

#include <utility>

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{}

void ASyncFunc::execute()
{
    Outcome outcome = runBody();
    emit runResult(outcome.failure, outcome.value);
}

ASyncRun::ASyncRun(std::unique_ptr<ASyncFunc> func)
    : func(std::move(func))
{
    Q_ASSERT(autoDelete());
}

// Runs on the pool thread right after run(); the posted signals carry copies of their
// arguments, so nothing refers to the body any more.
ASyncRun::~ASyncRun() = default;

void ASyncRun::run()
{
    func->execute();
    RunningBodies::postEnded();
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
{}

void ASyncTaskSpecification::execute()
{
    // Two bodies of one task would work on the same files at once.
    if (bodyRunning)
        startWhenBodyEnds = true;
    else
        startBody();
    // The result can only arrive through the event loop, so setting this afterwards is safe.
    setRunning();
}

void ASyncTaskSpecification::startBody()
{
    std::unique_ptr<ASyncFunc> func = createFunction();
    connectDefaultSignals(func.get());
    RunningBodies::instance()->started();
    bodyRunning = true;
    pool()->start(new ASyncRun(std::move(func)));
}

void ASyncTaskSpecification::reset()
{
    staleBody = bodyRunning;
    startWhenBodyEnds = false;
    TaskSpecification::reset();
}

QThreadPool* ASyncTaskSpecification::pool() const
{
    return WorkPool::instance();
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* func)
{
    // The body emits from a pool thread but has the GUI thread's affinity: queue explicitly.
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
}

void ASyncTaskSpecification::runDone(const Failure& failure)
{
    // A task reset while its body ran is no longer Running; its late result is dropped.
    if (state() != Running)
        return;
    if (failure.failed())
        errorCancel(failure);
    else
        finish();
}

void ASyncTaskSpecification::onRunResult(const Failure& failure, const QVariant& value)
{
    bodyRunning = false;
    // A run started after the reset must not be ended by the old body's result.
    if (std::exchange(staleBody, false) && std::exchange(startWhenBodyEnds, false)) {
        startBody();
        return;
    }
    if (!failure.failed() && state() == Running)
        takeValue(value);
    runDone(failure);
}

void ASyncTaskSpecification::onProgress(qreal fraction)
{
    setProgress(fraction);
}
