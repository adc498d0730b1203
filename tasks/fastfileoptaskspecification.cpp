#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path,
                                                         RollbackDataList* rollbackList,
                                                         QObject* parent,
                                                         double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
    , rollbackList(rollbackList)
    , path(path)
{}

void FastFileOpTaskSpecification::execute()
{
    setRunning();
    if (doOp())
        finish();
    else
        errorCancel();
}

void FastFileOpTaskSpecification::addRollbackOp(const RollbackData& record)
{
    if (rollbackList != nullptr)
        rollbackList->add(record);
}
