#pragma once

#include "composedtaskspecification.h"

// Runs the subtasks it is given side by side, at most maxParallel at a time, and ends as they
// ended: for steps of a stage that do not depend on each other, such as the fetches before a
// check.
class ParallelTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    ParallelTaskSpecification(int maxParallel, double parentProgressRange, QObject* parent);

    void execute() override;
};
