#include "slowfileoptaskspecification.h"

SlowFileOpSpecification::SlowFileOpSpecification(QString failureMessage,
                                                 RollbackDataList* rollbackList,
                                                 const QString& source, const QString& target,
                                                 QObject* parent, double parentProgressRange,
                                                 Placement placement)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , rollbackList(rollbackList)
    , source(source)
    , target(target)
    , failureMessage(std::move(failureMessage))
    , placement(placement)
{}

void SlowFileOpSpecification::runDone(bool ok)
{
    // Whatever our state: the body has or has not created target by now.
    if (!ok)
        emit message(failureMessage);
    else if (const std::optional<RollbackData> record = doneRecord(); record && rollbackList)
        rollbackList->add(*record);
    ASyncTaskSpecification::runDone(ok);
}

std::optional<RollbackData> SlowFileOpSpecification::doneRecord() const
{
    if (placement == Placement::OverExisting)
        return std::nullopt;
    return RollbackData(RollbackData::CreateFile, target);
}

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& target)
    : source(source)
    , target(target)
{}
