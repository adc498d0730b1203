#pragma once

#include "composedtaskspecification.h"
#include "filereplacetaskspecification.h"
#include "filespecifications.h"
#include "installedrelease.h"
#include "sessionlayout.h"

#include <QList>
#include <QPointer>
#include <QString>

class ReplaceJournal;

// Installs every downloaded file: first creates the directories the new files need, then
// replaces the files, two at a time, then, once those are on the disk, the updater's own files
// one after another, and at last commits: everything reaches the disk, the journal records what
// is left to delete and the release installed, and "update.ini" records that release. Every change
// is named in the replacement journal, on the disk, before it is made; on any failure or cancel
// before the commit the journal's repair undoes everything, newest change first, and the
// installation is left as it was.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // Installs replaceList from the downloads below session; deleteList names the files the
    // release drops. installing is the release those files make, recorded with the commit; one
    // not recorded (a version of 0) leaves "update.ini" to the caller. A recorded previous puts
    // the release on probation: the version before stays until the new one has started well.
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification> replaceList,
                                     QStringList deleteList, SessionLayout session,
                                     InstallationLayout installation, QObject* parent,
                                     double parentProgressRange, InstalledRelease installing = {},
                                     InstalledRelease previous = {});

    // Waits, without blocking, for a reset still undoing.
    void execute() override;
    void userCanceled() override;
    // Undoes everything the stage changed once what its replacements still run has ended, and
    // only then returns the task to Idle; it stays Running meanwhile.
    void reset() override;

    // What the commit recorded as left to delete: the files the release drops and the backups
    // of the replaced files, the updater's own excepted. Complete once the stage has finished.
    [[nodiscard]] QStringList deletions() const;

protected:
    void subtasksDone() override;

private slots:
    void onStepFinished();
    void onStepFailed();

private:
    using Plan = FileReplaceTaskSpecification::Plan;

    void makeSubtasksAndStart();
    // Plans every replacement and brings the journal's records of them to the disk: first the
    // stale backups, which are then deleted, then the directories and the files.
    [[nodiscard]] bool announce(const QStringList& missing);
    [[nodiscard]] bool removeStaleBackups();
    // The directories the new files need that do not exist, parents first.
    [[nodiscard]] QStringList missingDirectories() const;
    void makeFileReplaceTasks(double weight);
    // After the other files: a sync, the updater's own files, the commit.
    void runNextStep();
    [[nodiscard]] TaskSpecification* makeStep(int index);
    [[nodiscard]] int commitStep() const;
    void releaseStep();
    // Lets a running step go, and then true when the journal holds the commit: only a commit that
    // did not report its success needs the journal read.
    [[nodiscard]] bool dropCommit();
    // Once the commit is in: records the installed release and finishes the stage.
    void finishCommitted();
    void rollBack();
    [[nodiscard]] bool repairFromJournal(ReplaceJournal& journal);
    // Says why the start failed, for fail(); always false.
    [[nodiscard]] bool noteFailure(Failure failure);
    void fail();
    // The undo of a reset, after the last body that could still change a file has reported.
    void completeReset();
    // The missing directories the new files need, with every missing level above them.
    [[nodiscard]] static QStringList missingLevels(const QStringList& directories);
    // Says so and returns true when two records would work on the same place.
    [[nodiscard]] bool reportConflict();

    const QList<FileReplaceSpecification> replaceList;
    const QStringList deleteList;
    SessionLayout session;
    InstallationLayout installation;
    const InstalledRelease installing;
    const InstalledRelease previous;
    QList<std::pair<FileReplaceSpecification, Plan>> regular;
    QList<std::pair<FileReplaceSpecification, Plan>> special;
    QPointer<TaskSpecification> step;
    int nextStep = 0;
    bool resetting = false;
    Failure startFailure;
    bool startAfterReset = false;
};
