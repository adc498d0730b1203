#pragma once

#include "fastfileoptaskspecification.h"

// Renames a file (or whatever is at oldPath) to newPath. Nothing that is at newPath is ever
// replaced or written to: the rename then fails.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString& oldPath, const QString& newPath, QObject* parent,
                                double parentProgressRange);

    // True when anything is at path, a dangling symbolic link included.
    [[nodiscard]] static bool pathTaken(const QString& path);

protected:
    [[nodiscard]] Failure doOp() override;

private:
    const QString oldPath;
};
