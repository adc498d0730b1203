#include "filereplacelisttaskspecification.h"

#include "dircreatetaskspecification.h"
#include "filerenametaskspecification.h"
#include "replacecommittaskspecification.h"
#include "replacejournal.h"
#include "runningbodies.h"
#include "updateinidata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringList>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr double subdirsWeight = 0.1;

QString installedPath(const FileReplaceSpecification& record)
{
    return QDir::cleanPath(record.destFileName(QString()));
}

QString describe(const FileReplaceSpecification& record)
{
    return record.sourceDir + u'/' + record.fileName;
}

using Installers = QHash<QString, const FileReplaceSpecification*>;

// The record that installs a file at record's backup name or at one of its directories.
const FileReplaceSpecification* inTheWay(const Installers& installers,
                                         const FileReplaceSpecification& record)
{
    if (const FileReplaceSpecification* other =
                installers.value(QDir::cleanPath(record.oldDestFileName())))
        return other;
    for (QString dir = QFileInfo(installedPath(record)).path(); dir != u"." && dir != u"/";
         dir = QFileInfo(dir).path()) {
        if (const FileReplaceSpecification* other = installers.value(dir))
            return other;
    }
    return nullptr;
}

} // namespace

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(
        QList<FileReplaceSpecification> replaceList, QStringList deleteList, SessionLayout session,
        InstallationLayout installation, QObject* parent, double parentProgressRange,
        InstalledRelease installing, InstalledRelease previous)
    : ComposedTaskSpecification(2, parentProgressRange, parent)
    , replaceList(std::move(replaceList))
    , deleteList(std::move(deleteList))
    , session(std::move(session))
    , installation(std::move(installation))
    , installing(std::move(installing))
    , previous(std::move(previous))
{}

QStringList FileReplaceListTaskSpecification::deletions() const
{
    QStringList names = deleteList;
    // The backups of the updater's own files wait for its next start, which no longer runs them.
    for (const auto& [record, plan] : regular) {
        if (plan.replacing)
            names.append(record.oldDestFileName());
    }
    return names;
}

void FileReplaceListTaskSpecification::execute()
{
    if (resetting) {
        startAfterReset = true;
        return;
    }
    emit message(u"Starting file updates"_s);
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    if (reportConflict()) {
        fail();
        return;
    }
    const QStringList missing = missingDirectories();
    if (!announce(missing)) {
        rollBack();
        fail();
        return;
    }
    const double dirsShare = missing.isEmpty() ? 0.0 : regular.isEmpty() ? 1.0 : subdirsWeight;
    for (const QString& dir : missing)
        addSubTask(new DirCreateTaskSpecification(dir, this, dirsShare / double(missing.size())));
    makeFileReplaceTasks((1.0 - dirsShare) / double(qMax(qsizetype(1), regular.size())));
    executeSubTasks();
}

bool FileReplaceListTaskSpecification::reportConflict()
{
    // Two replacements of one file would take each other's backup for a stale one and delete
    // it; a file where another record needs a directory, or a file under another's backup name,
    // would be moved away or deleted after "success". Refuse before anything is changed.
    const auto conflict = [this](const FileReplaceSpecification& record,
                                 const FileReplaceSpecification& other) {
        return !noteFailure(
                {Failure::Kind::Release,
                 u"Could not update %1: its installed path conflicts with that of %2"_s.arg(
                         describe(record), describe(other))});
    };
    Installers installers;
    for (const FileReplaceSpecification& record : replaceList) {
        if (const FileReplaceSpecification* other = installers.value(installedPath(record)))
            return conflict(record, *other);
        installers.insert(installedPath(record), &record);
    }
    for (const FileReplaceSpecification& record : replaceList) {
        if (const FileReplaceSpecification* other = inTheWay(installers, record))
            return conflict(record, *other);
    }
    return false;
}

QStringList FileReplaceListTaskSpecification::missingDirectories() const
{
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification& record : replaceList) {
        const QString dir = QFileInfo(installation.filePath(record.destFileName(QString()))).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QDir(dir).exists())
            missing.append(dir);
    }
    // A parent is a prefix of its subdirectories, so it sorts before them.
    missing.sort(Qt::CaseSensitive);
    return missing;
}

bool FileReplaceListTaskSpecification::announce(const QStringList& missing)
{
    regular.clear();
    special.clear();
    ReplaceJournal journal(installation, session.directory());
    // Appending to the journal of an earlier run would mix two runs: that one is finished first,
    // and the journal must be gone (the appends below refuse one that holds a commit).
    if (journal.exists() && !repairFromJournal(journal))
        return noteFailure({Failure::Kind::Disk, journal.errorString()});
    for (const FileReplaceSpecification& record : replaceList) {
        const Plan plan = FileReplaceTaskSpecification::planFor(record, session, installation);
        (plan.special ? special : regular).append({record, plan});
    }
    if (!removeStaleBackups())
        return false;
    QStringList levels;
    const QDir root(installation.root());
    for (const QString& dir : missingLevels(missing))
        levels.append(root.relativeFilePath(dir));
    bool recorded = journal.recordDirectories(levels);
    // The updater's own files last, as they are replaced.
    for (const auto& [record, plan] : regular + special) {
        recorded = recorded &&
                   (plan.replacing ? journal.recordReplace(plan.installed, plan.movedDownload)
                                   : journal.recordAdd(plan.installed, plan.movedDownload));
    }
    if (recorded && journal.sync())
        return true;
    return noteFailure({Failure::Kind::Disk, journal.errorString()});
}

bool FileReplaceListTaskSpecification::removeStaleBackups()
{
    // Left over from an earlier run, or a user's: gone before the journal names the backup, so
    // that whatever lies under a backup name during the run is the run's own.
    QList<std::pair<QString, QString>> stale; // relative, absolute
    for (const auto& [record, plan] : regular + special) {
        const QString backup = installation.filePath(record.oldDestFileName());
        if (plan.replacing && FileRenameTaskSpecification::pathTaken(backup))
            stale.append({record.oldDestFileName(), backup});
    }
    if (stale.isEmpty())
        return true;
    ReplaceJournal journal(installation, session.directory());
    bool recorded = true;
    for (const auto& [relative, absolute] : std::as_const(stale))
        recorded = recorded && journal.recordStale(relative);
    if (!recorded || !journal.sync())
        return noteFailure({Failure::Kind::Disk, journal.errorString()});
    for (const auto& [relative, absolute] : std::as_const(stale)) {
        if (!QFile::remove(absolute))
            return noteFailure({Failure::Kind::Disk, u"Could not delete '%1'"_s.arg(absolute)});
    }
    return true;
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(double weight)
{
    // Made as they start and let go of once they have finished: a list of any length holds two
    // of them at a time.
    addSubTasksOnDemand(regular.size(), [this, weight](qsizetype index) {
        const auto& [record, plan] = regular.at(index);
        return new FileReplaceTaskSpecification(record, plan, session, installation, this, weight);
    });
}

QStringList FileReplaceListTaskSpecification::missingLevels(const QStringList& directories)
{
    QStringList levels;
    QSet<QString> seen;
    for (const QString& dir : directories) {
        QStringList above;
        for (QFileInfo info(dir);
             !info.exists() && !info.isRoot() && !seen.contains(info.filePath());
             info = QFileInfo(info.path()))
            above.prepend(info.filePath());
        for (const QString& level : std::as_const(above)) {
            seen.insert(level);
            levels.append(level);
        }
    }
    return levels;
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != Finished)
        rollBack();
    // Nothing installed and nothing to delete: nothing to commit either.
    if (getStateFromSubTasks() != Finished ||
        (regular.isEmpty() && special.isEmpty() && deleteList.isEmpty())) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    nextStep = 0;
    runNextStep();
}

void FileReplaceListTaskSpecification::runNextStep()
{
    // A cancel between two steps: nothing runs, so nothing has to be waited for.
    if (userCanceledFlag()) {
        rollBack();
        userCancel();
        return;
    }
    step = makeStep(nextStep++);
    connect(step, &TaskSpecification::finished, this,
            &FileReplaceListTaskSpecification::onStepFinished);
    connect(step, &TaskSpecification::canceled, this,
            &FileReplaceListTaskSpecification::onStepFailed);
    connect(step, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(step, &TaskSpecification::error, this, &TaskSpecification::error);
    step->execute();
}

int FileReplaceListTaskSpecification::commitStep() const
{
    return special.isEmpty() ? 0 : int(special.size()) + 1;
}

TaskSpecification* FileReplaceListTaskSpecification::makeStep(int index)
{
    if (index == commitStep()) {
        emit message(u"Writing the installed files to the disk"_s);
        return new ReplaceCommitTaskSpecification(ReplaceCommitTaskSpecification::Step::Commit,
                                                  deletions(), installation, this, installing,
                                                  previous);
    }
    // The updater's own files wait until everything else is on the disk, so that the window in
    // which a kill finds them half replaced is as short as it can be.
    if (index == 0)
        return new ReplaceCommitTaskSpecification(ReplaceCommitTaskSpecification::Step::Sync, {},
                                                  installation, this);
    const auto& [record, plan] = special.at(index - 1);
    return new FileReplaceTaskSpecification(record, plan, session, installation, this, 0.0);
}

void FileReplaceListTaskSpecification::onStepFinished()
{
    const bool committed = nextStep > commitStep();
    releaseStep();
    if (committed)
        finishCommitted();
    else
        runNextStep();
}

void FileReplaceListTaskSpecification::onStepFailed()
{
    const bool byUser = step && step->state() == UserCanceled;
    const Failure failure = step ? step->failure() : Failure();
    // A commit record that reached the file (its sync failed after the write) may reach the disk
    // yet: undoing now would let a later repair delete what the old version needs. Forward.
    if (dropCommit()) {
        finishCommitted();
        return;
    }
    rollBack();
    if (byUser)
        userCancel();
    else
        errorCancel(failure);
}

void FileReplaceListTaskSpecification::releaseStep()
{
    if (!step)
        return;
    disconnect(step, nullptr, this, nullptr);
    step->deleteLater();
    step = nullptr;
}

bool FileReplaceListTaskSpecification::dropCommit()
{
    releaseStep();
    return ReplaceJournal(installation, session.directory()).isCommitted();
}

void FileReplaceListTaskSpecification::finishCommitted()
{
    // The commit has made the release the installed one. Should its record not reach the file,
    // the run ends before the deletions, which remove the committed journal: the next start's
    // repair records it from there.
    if (!installing.isRecorded() || installing.write(installation)) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    const QString text = u"Could not record version %1 as installed in %2"_s.arg(installing.version)
                                 .arg(UpdateIniData::filename(installation));
    emit message(text);
    errorCancel({Failure::Kind::Disk, text});
}

void FileReplaceListTaskSpecification::rollBack()
{
    emit message(u"rolling back file updates"_s);
    ReplaceJournal journal(installation, session.directory());
    if (!repairFromJournal(journal))
        emit error(journal.errorString());
}

bool FileReplaceListTaskSpecification::repairFromJournal(ReplaceJournal& journal)
{
    // The same repair as after a kill. What it could not undo stays named in the journal, which
    // the next start tries again.
    return journal.repair([this](const QString& line) { emit message(line); });
}

bool FileReplaceListTaskSpecification::noteFailure(Failure failure)
{
    emit message(failure.text);
    startFailure = std::move(failure);
    return false;
}

void FileReplaceListTaskSpecification::fail()
{
    setRunning();
    errorCancel(std::exchange(startFailure, {}));
}

void FileReplaceListTaskSpecification::userCanceled()
{
    ComposedTaskSpecification::userCanceled();
    if (step)
        step->userCanceled();
}

void FileReplaceListTaskSpecification::reset()
{
    if (resetting)
        return;
    releaseStep();
    clearSubTasks();
    // A copy still running would put its file in place after the undo. Its task may be gone, but
    // the body holds copies of what it needs and reports to the count of running bodies.
    if (!RunningBodies::instance()->isIdle()) {
        resetting = true;
        connect(RunningBodies::instance(), &RunningBodies::idle, this,
                &FileReplaceListTaskSpecification::completeReset, Qt::SingleShotConnection);
        return;
    }
    completeReset();
}

void FileReplaceListTaskSpecification::completeReset()
{
    resetting = false;
    // A commit that reached the journal has made the new files the installation: the next
    // start finishes the deletions, and nothing here may be undone any more.
    ReplaceJournal journal(installation, session.directory());
    if (!journal.isCommitted() && !repairFromJournal(journal))
        emit error(journal.errorString());
    regular.clear();
    special.clear();
    nextStep = 0;
    resetWithoutSubTasks();
    if (std::exchange(startAfterReset, false))
        execute();
}
