#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path, QObject* parent,
                                                         double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
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
