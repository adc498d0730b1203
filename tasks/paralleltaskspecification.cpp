#include "paralleltaskspecification.h"

ParallelTaskSpecification::ParallelTaskSpecification(int maxParallel, double parentProgressRange,
                                                     QObject* parent)
    : ComposedTaskSpecification(maxParallel, parentProgressRange, parent)
{}

void ParallelTaskSpecification::execute()
{
    executeSubTasks();
}
