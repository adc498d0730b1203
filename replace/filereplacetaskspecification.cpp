#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filebackuptaskspecification.h"
#include "filecopytaskspecification.h"
#include "filerenametaskspecification.h"
#include "fileunziptaskspecification.h"
#include "replacejournal.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {

constexpr double stepWeight = 0.1;  // making the backup of the installed file
constexpr double checkWeight = 0.2; // checking an unpacked file

} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceSpecification& record,
                                                           QList<QString>* deleteList,
                                                           RollbackDataList* listRollback,
                                                           Configuration* configuration,
                                                           QObject* parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , replaceSpec(record)
    , deleteList(deleteList)
    , listRollback(listRollback)
    , configuration(configuration)
{
    Q_ASSERT(deleteList && listRollback && configuration);
}

void FileReplaceTaskSpecification::execute()
{
    emit message(u"add/replace %1"_s.arg(replaceSpec.fileName));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString installed = replaceSpec.destFileName(QString());
    const QString patched = QDir(configuration->tempDir).filePath(replaceSpec.patchedName());
    // A packed file that a patch made is there unpacked already, and is moved like a download.
    madeByPatch = replaceSpec.hasUnzip() && QFileInfo::exists(patched);
    const QString source =
            madeByPatch ? patched : QDir(configuration->tempDir).filePath(replaceSpec.fileName);
    const QString target = Configuration::getAppRootFilePath(installed);
    const QString backup = Configuration::getAppRootFilePath(replaceSpec.oldDestFileName());
    const bool replacing = FileRenameTaskSpecification::pathTaken(target);

    // Left over from an earlier run, or a user's: gone before the journal names the backup, so
    // that whatever lies under the backup name during the run is the run's own.
    if (replacing && FileRenameTaskSpecification::pathTaken(backup) && !QFile::remove(backup)) {
        failBeforeStart(u"Could not delete '%1'"_s.arg(backup));
        return;
    }
    // Said before it is done, so that a run killed in the middle is undone by the next start.
    if (!recordIntent(installed, replacing))
        return;

    double remaining = 1.0;
    const auto placement = replacing ? SlowFileOpSpecification::Placement::OverExisting
                                     : SlowFileOpSpecification::Placement::NewName;
    if (replacing) {
        backedUp = true;
        addSubTask(new FileBackupTaskSpecification(&ownRollback, target, backup, this, stepWeight));
        remaining -= stepWeight;
    }
    const std::optional<QFileDevice::Permissions> mode = installedMode(target);
    if (replaceSpec.hasUnzip() && !madeByPatch) {
        addSubTask(new FileUnzipTaskSpecification(&ownRollback, source, target, this,
                                                  remaining - checkWeight, mode, placement));
        auto* check = new CheckSignatureTaskSpecification(target, replaceSpec.unpackedMd5, true,
                                                          this, checkWeight);
        check->setExpectedSha256(replaceSpec.unpackedSha256);
        addSubTask(check);
    } else {
        // Moved into place where it can be; undoing gives it back to the temporary directory,
        // where a resumed run finds it.
        addSubTask(new FileCopyTaskSpecification(
                &ownRollback, source, target, this, remaining, mode,
                FileCopyTaskSpecification::Transfer::MoveWhenPossible, placement));
    }
    setRunning();
    executeSubTasks();
}

bool FileReplaceTaskSpecification::recordIntent(const QString& installed, bool replacing)
{
    ReplaceJournal journal(configuration->tempDir);
    QStringList parts{FileCopyFunc::partFilePath(installed)};
    if (replacing)
        parts.append(FileCopyFunc::partFilePath(replaceSpec.oldDestFileName()));
    // An unpacked file is no download that could be given back; one a patch made is.
    const QString download = !replaceSpec.hasUnzip() ? replaceSpec.fileName
                             : madeByPatch           ? replaceSpec.patchedName()
                                                     : QString();
    const bool recorded = replacing ? journal.recordReplace(installed, download, parts)
                                    : journal.recordAdd(installed, download, parts);
    if (!recorded)
        failBeforeStart(journal.errorString());
    return recorded;
}

void FileReplaceTaskSpecification::failBeforeStart(const QString& text)
{
    setRunning();
    emit message(text);
    errorCancel();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() == Finished)
        commit();
    else
        undoJournal(ownRollback, this);
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::commit()
{
    // From now on the list's journal undoes this file. The records move rather than being
    // copied, so that a reset of this task cannot undo them a second time behind the list's back.
    listRollback->appendList(ownRollback);
    ownRollback.clear();
    const QString fileName = QFileInfo(replaceSpec.pureDestFilePath()).fileName();
    if (backedUp && !configuration->isSpecialFileName(fileName))
        deleteList->append(replaceSpec.oldDestFileName());
    // The copy or unpack gave the file its mode before it appeared under its name.
}

void FileReplaceTaskSpecification::reset()
{
    const QList<TaskSpecification*> running = runningSubTasks;
    clearSubTasks();
    collectLateResults(running);
    undoJournal(ownRollback, this);
    backedUp = false;
    resetWithoutSubTasks();
}

void FileReplaceTaskSpecification::collectLateResults(const QList<TaskSpecification*>& subtasks)
{
    if (subtasks.isEmpty())
        return;
    QThreadPool::globalInstance()->waitForDone();
    // The results are posted by now; a slow file operation journals its file as it takes one.
    for (TaskSpecification* t : subtasks)
        QCoreApplication::sendPostedEvents(t, QEvent::MetaCall);
}

void FileReplaceTaskSpecification::undoJournal(RollbackDataList& journal, TaskSpecification* task)
{
    if (!journal.rollback(task))
        emit task->error(u"Could not undo all file changes; the installation may be incomplete"_s);
}

const QStringList& FileReplaceTaskSpecification::executableFiles()
{
    static const QStringList names{u"vq3client_linux_x86"_s,    u"vq3client_linux_amd64"_s,
                                   u"vq3client_runscript.sh"_s, u"update"_s,
                                   u"fault_beacon"_s,           u"bundle_wright"_s};
    return names;
}

const QStringList& FileReplaceTaskSpecification::executableSuffixes()
{
    static const QStringList suffixes{u"so"_s, u"so.4"_s};
    return suffixes;
}

std::optional<QFileDevice::Permissions>
FileReplaceTaskSpecification::installedMode(const QString& path)
{
    const QFileInfo info(path);
    if (executableFiles().contains(info.fileName(), Qt::CaseSensitive) ||
        executableSuffixes().contains(info.completeSuffix(), Qt::CaseSensitive))
        return executableMode();
    return std::nullopt;
}

QFileDevice::Permissions FileReplaceTaskSpecification::executableMode()
{
    // 0755: nobody but the owner may change the client's programs.
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
           QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser |
           QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
           QFileDevice::ExeOther;
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path)
{
    if (const auto mode = installedMode(path))
        QFile::setPermissions(path, *mode);
}
