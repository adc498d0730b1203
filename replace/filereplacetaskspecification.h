#pragma once

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "rollback.h"

#include <QFileDevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class Configuration;

// Installs one downloaded file into the application root. The installed version first gets its
// "_old_" backup in the same directory without losing its name (a hard link, or a copy), then the
// new file is moved, copied or unpacked (and checked) into place, taking the name in one rename;
// so the installed path holds the old bytes or the new ones at every moment. The session journal
// names each change before it is made. Every change goes into this task's own journal: on
// failure or cancel it is undone at once; on success it passes to the replace list's journal,
// and the backup name is put on the delete list (except for the updater's own files, which are
// in use and are removed at the next start).
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // None of the pointers is owned; all must be valid and outlive the task.
    FileReplaceTaskSpecification(const FileReplaceSpecification& record, QList<QString>* deleteList,
                                 RollbackDataList* listRollback, Configuration* configuration,
                                 QObject* parent, double parentProgressRange);

    void execute() override;
    // Undoes what this task changed and has not yet handed to the list's journal, also what a
    // body still running on the pool is about to create; afterwards the task can run afresh.
    void reset() override;

    // Programs and libraries by file name and by complete suffix (all after the first ".").
    [[nodiscard]] static const QStringList& executableFiles();
    [[nodiscard]] static const QStringList& executableSuffixes();
    // The mode of an installed program or library (0755), for a path whose name or complete
    // suffix is listed above; nothing for other files, which keep the mode they were made with.
    [[nodiscard]] static std::optional<QFileDevice::Permissions> installedMode(const QString& path);
    [[nodiscard]] static QFileDevice::Permissions executableMode();
    // Gives the file at path its installed mode, if it has one.
    static void makeSingleFileExecutable(const QString& path);

    // Undoes journal newest first for task (which receives the warnings). When a step could not
    // be undone the installation may be left incomplete; that is reported through task's error.
    static void undoJournal(RollbackDataList& journal, TaskSpecification* task);

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    [[nodiscard]] bool recordIntent(const QString& installed, bool replacing);
    void failBeforeStart(const QString& text);
    void commit();
    // Waits for the bodies of the given (already disconnected) subtasks and lets them deliver
    // their results, so that a file they created reaches the journal before it is undone.
    static void collectLateResults(const QList<TaskSpecification*>& subtasks);

    const FileReplaceSpecification replaceSpec;
    QList<QString>* deleteList;
    RollbackDataList* listRollback;
    RollbackDataList ownRollback;
    Configuration* configuration;
    bool backedUp = false;
    bool madeByPatch = false;
};
