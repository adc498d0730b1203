#include "slowfileoptaskspecification.h"

SlowFileOpSpecification::SlowFileOpSpecification(QString failureMessage, const QString& source,
                                                 const QString& target, QObject* parent,
                                                 double parentProgressRange, Placement placement)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , source(source)
    , target(target)
    , failureMessage(std::move(failureMessage))
    , placement(placement)
{}

void SlowFileOpSpecification::runDone(const Failure& failure)
{
    if (!failure.failed()) {
        ASyncTaskSpecification::runDone(failure);
        return;
    }
    // Told even when the task was reset meanwhile: the file system is not what it was.
    emit message(failureMessage);
    if (failure.text.isEmpty()) {
        ASyncTaskSpecification::runDone({failure.kind, failureMessage});
        return;
    }
    emit message(failure.text);
    ASyncTaskSpecification::runDone(failure);
}

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& target)
    : source(source)
    , target(target)
{}
