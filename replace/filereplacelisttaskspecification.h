#pragma once

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "rollback.h"

#include <QList>
#include <QString>

class Configuration;
class ReplaceCommitTaskSpecification;

// Installs every downloaded file: first creates the directories the new files need, then
// replaces the files, two at a time, and at last commits: everything reaches the disk and the
// session journal records what is left to delete. One journal covers the whole stage, so that on
// any failure or cancel before the commit everything the stage changed is undone, newest change
// first, and the installation is left as it was.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // None of the pointers is owned; all must outlive the task. replaceList is read when the
    // task starts; the backup names of replaced files are appended to deleteList.
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification>* replaceList,
                                     QList<QString>* deleteList, Configuration* configuration,
                                     QObject* parent, double parentProgressRange);

    void execute() override;
    // Undoes everything the stage changed, also what its running replacements hold.
    void reset() override;

protected:
    void subtasksDone() override;
    // Adds a task for every missing directory, parents first; returns their number.
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool subdirsCreated);

private slots:
    void onCommitted();
    void onCommitFailed();

private:
    void makeSubtasksAndStart();
    void commit();
    // Waits for a running commit and lets it go.
    void releaseCommitTask();
    // The same, and then true when the journal holds the commit: only a commit that did not
    // report its success needs the journal read.
    [[nodiscard]] bool dropCommit();
    void rollBack();
    void repairFromSessionJournal();
    // The missing directories the new files need, with every missing level above them.
    [[nodiscard]] static QStringList missingLevels(const QStringList& directories);
    // Says so and returns true when two records would work on the same place.
    [[nodiscard]] bool reportConflict();

    QList<FileReplaceSpecification>* replaceList;
    QList<QString>* deleteList;
    RollbackDataList listRollback;
    Configuration* configuration;
    ReplaceCommitTaskSpecification* commitTask = nullptr;
};
