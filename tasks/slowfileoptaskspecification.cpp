#include "slowfileoptaskspecification.h"

SlowFileOpSpecification::SlowFileOpSpecification(QString failureMessage,
                                                 RollbackDataList* rollbackList,
                                                 const QString& source, const QString& target,
                                                 QObject* parent, double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , rollbackList(rollbackList)
    , source(source)
    , target(target)
    , failureMessage(std::move(failureMessage))
{}

void SlowFileOpSpecification::runDone(bool ok)
{
    // Whatever our state: the body has or has not created target by now.
    if (!ok)
        emit message(failureMessage);
    else if (rollbackList != nullptr)
        rollbackList->add(doneRecord());
    ASyncTaskSpecification::runDone(ok);
}

RollbackData SlowFileOpSpecification::doneRecord() const
{
    return RollbackData(RollbackData::CreateFile, target);
}

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& target)
    : source(source)
    , target(target)
{}
