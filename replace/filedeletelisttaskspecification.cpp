#include "filedeletelisttaskspecification.h"

#include "filedeletetaskspecification.h"
#include "replacecommittaskspecification.h"

using namespace Qt::StringLiterals;

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QStringList fileNames,
                                                                 InstallationLayout installation,
                                                                 QObject* parent,
                                                                 double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , fileNames(std::move(fileNames))
    , installation(std::move(installation))
{}

void FileDeleteListTaskSpecification::execute()
{
    emit message(u"Starting deleting files"_s);
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::reset()
{
    resetWithoutSubTasks();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const double weight = 1.0 / double(fileNames.size());
    for (const QString& name : fileNames)
        addSubTask(
                new FileDeleteTaskSpecification(false, installation.filePath(name), this, weight));
    // On the pool: the sync may take seconds on a slow disk, and the window must not wait.
    addSubTask(new ReplaceCommitTaskSpecification(ReplaceCommitTaskSpecification::Step::Discard, {},
                                                  installation, this));
    setRunning();
    executeSubTasks();
}
