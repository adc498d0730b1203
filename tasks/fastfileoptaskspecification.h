#pragma once

#include "rollback.h"
#include "taskspecification.h"

#include <QString>

// A quick file operation, done synchronously on the GUI thread inside execute().
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    // rollbackList is not owned and may be null (then nothing is recorded).
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                QObject* parent, double parentProgressRange);

    // Ends the task before returning; a composed parent continues through its queue.
    void execute() override;

protected:
    // Emits its own message before returning false.
    [[nodiscard]] virtual bool doOp() = 0;
    // Call after each change that succeeded.
    void addRollbackOp(const RollbackData& record);

    RollbackDataList* rollbackList;
    QString path;
};
