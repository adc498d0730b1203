#pragma once

#include "fastfileoptaskspecification.h"

// Creates a directory together with every missing directory above it, one level at a time, the
// outermost first; the replacement journal names each level before.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString& path, QObject* parent, double parentProgressRange);

    [[nodiscard]] const QString& directory() const { return path; }

protected:
    [[nodiscard]] Failure doOp() override;

private:
    // Creates dir after its missing parents; says what went wrong before returning false.
    [[nodiscard]] Failure tryCreateDir(const QString& dir);
};
