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

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(failureMessage);
    ASyncTaskSpecification::runDone(ok);
}

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& target)
    : source(source)
    , target(target)
{}
