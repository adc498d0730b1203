#pragma once

#include "taskspecification.h"

#include <QString>

// A quick file operation, done synchronously on the GUI thread inside execute().
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    FastFileOpTaskSpecification(const QString& path, QObject* parent, double parentProgressRange);

    // Ends the task before returning; a composed parent continues through its queue.
    void execute() override;

protected:
    // What failed, if anything; its text goes to the log as well.
    [[nodiscard]] virtual Failure doOp() = 0;

    QString path;
};
