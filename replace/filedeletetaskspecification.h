#pragma once

#include "fastfileoptaskspecification.h"

// Deletes one file. Without mustSucceed a file that is missing or cannot be deleted is silently
// accepted.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteTaskSpecification(bool mustSucceed, const QString& path, QObject* parent,
                                double parentProgressRange);

protected:
    [[nodiscard]] Failure doOp() override;

private:
    const bool mustSucceed;
};
