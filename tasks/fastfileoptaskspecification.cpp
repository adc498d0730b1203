#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path, QObject* parent,
                                                         double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
    , path(path)
{}

void FastFileOpTaskSpecification::execute()
{
    setRunning();
    Failure failure = doOp();
    if (!failure.failed()) {
        finish();
        return;
    }
    emit message(failure.text);
    errorCancel(std::move(failure));
}
