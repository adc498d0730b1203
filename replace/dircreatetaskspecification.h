#pragma once

#include "fastfileoptaskspecification.h"

// Creates a directory together with every missing directory above it, one level at a time.
// Each level it created is journaled, the outermost first, so that undoing the journal newest
// first removes the deepest level first. A directory that exists already is left unrecorded.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent,
                               double parentProgressRange);

    [[nodiscard]] const QString& directory() const { return path; }

protected:
    [[nodiscard]] bool doOp() override;

private:
    // Creates dir after its missing parents; says what went wrong before returning false.
    [[nodiscard]] bool tryCreateDir(const QString& dir);
};
