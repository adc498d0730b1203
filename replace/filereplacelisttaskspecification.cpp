#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplacetaskspecification.h"
#include "replacecommittaskspecification.h"
#include "replacejournal.h"

#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringList>

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
        QList<FileReplaceSpecification>* replaceList, QList<QString>* deleteList,
        Configuration* configuration, QObject* parent, double parentProgressRange)
    : ComposedTaskSpecification(2, parentProgressRange, parent)
    , replaceList(replaceList)
    , deleteList(deleteList)
    , configuration(configuration)
{}

void FileReplaceListTaskSpecification::execute()
{
    emit message(u"Starting file updates"_s);
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    if (reportConflict()) {
        setRunning();
        errorCancel();
        return;
    }
    const int subdirCount = makeSubdirTasks();
    if (subdirCount < 0) {
        setRunning();
        errorCancel();
        return;
    }
    makeFileReplaceTasks(subdirCount > 0);
    executeSubTasks();
}

bool FileReplaceListTaskSpecification::reportConflict()
{
    // Two replacements of one file would take each other's backup for a stale one and delete
    // it; a file where another record needs a directory, or a file under another's backup name,
    // would be moved away or deleted after "success". Refuse before anything is changed.
    const auto conflict = [this](const FileReplaceSpecification& record,
                                 const FileReplaceSpecification& other) {
        emit message(u"Could not update %1: its installed path conflicts with that of %2"_s.arg(
                describe(record), describe(other)));
        return true;
    };
    Installers installers;
    for (const FileReplaceSpecification& record : std::as_const(*replaceList)) {
        if (const FileReplaceSpecification* other = installers.value(installedPath(record)))
            return conflict(record, *other);
        installers.insert(installedPath(record), &record);
    }
    for (const FileReplaceSpecification& record : std::as_const(*replaceList)) {
        if (const FileReplaceSpecification* other = inTheWay(installers, record))
            return conflict(record, *other);
    }
    return false;
}

int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification& record : std::as_const(*replaceList)) {
        const QString dir =
                QFileInfo(Configuration::getAppRootFilePath(record.destFileName(QString()))).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QDir(dir).exists())
            missing.append(dir);
    }
    // A parent is a prefix of its subdirectories, so it sorts before them.
    missing.sort(Qt::CaseSensitive);
    QStringList recorded;
    const QDir root(Configuration::getAppRootPath());
    for (const QString& dir : missingLevels(missing))
        recorded.append(root.relativeFilePath(dir));
    ReplaceJournal journal(configuration->tempDir);
    if (!journal.recordDirectories(recorded)) {
        emit message(journal.errorString());
        return -1;
    }
    for (const QString& dir : std::as_const(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &listRollback, this,
                                                  subdirsWeight / double(missing.size())));
    return int(missing.size());
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool subdirsCreated)
{
    const double weight =
            (subdirsCreated ? 1.0 - subdirsWeight : 1.0) / double(replaceList->size());
    // Made as they start and let go of once they have finished (their changes have then passed
    // to the stage's journal): a list of any length holds two of them at a time.
    addSubTasksOnDemand(
            replaceList->size(), [this, records = *replaceList, weight](qsizetype index) {
                return new FileReplaceTaskSpecification(records.at(index), deleteList,
                                                        &listRollback, configuration, this, weight);
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
    if (getStateFromSubTasks() == Finished) {
        commit();
        return;
    }
    rollBack();
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::commit()
{
    emit message(u"Writing the installed files to the disk"_s);
    // Not a subtask: it must start only once every replacement has ended.
    commitTask = new ReplaceCommitTaskSpecification(configuration->tempDir, *deleteList, this);
    connect(commitTask, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(commitTask, &TaskSpecification::finished, this,
            &FileReplaceListTaskSpecification::onCommitted);
    connect(commitTask, &TaskSpecification::canceled, this,
            &FileReplaceListTaskSpecification::onCommitFailed);
    commitTask->execute();
}

void FileReplaceListTaskSpecification::onCommitted()
{
    releaseCommitTask();
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::onCommitFailed()
{
    // A commit record that reached the file (its sync failed after the write) may reach the disk
    // yet: undoing now would let a later repair delete what the old version needs. Forward.
    if (dropCommit()) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    rollBack();
    errorCancel();
}

void FileReplaceListTaskSpecification::releaseCommitTask()
{
    if (!commitTask)
        return;
    disconnect(commitTask, nullptr, this, nullptr);
    commitTask->reset();
    commitTask->deleteLater();
    commitTask = nullptr;
}

bool FileReplaceListTaskSpecification::dropCommit()
{
    releaseCommitTask();
    return !configuration->tempDir.isEmpty() &&
           ReplaceJournal(configuration->tempDir).isCommitted();
}

void FileReplaceListTaskSpecification::rollBack()
{
    emit message(u"rolling back file updates"_s);
    FileReplaceTaskSpecification::undoJournal(listRollback, this);
    repairFromSessionJournal();
}

void FileReplaceListTaskSpecification::repairFromSessionJournal()
{
    // What the session journal still names (a change whose undo failed above) gets a second
    // try; once nothing is left, the journal goes.
    if (!configuration->tempDir.isEmpty())
        static_cast<void>(
                ReplaceJournal(configuration->tempDir).repair([this](const QString& line) {
                    emit message(line);
                }));
}

void FileReplaceListTaskSpecification::reset()
{
    // A commit that reached the journal has made the new files the installation: the next
    // start finishes the deletions, and nothing here may be undone any more.
    if (dropCommit()) {
        listRollback.clear();
        clearSubTasks();
        resetWithoutSubTasks();
        return;
    }
    // Running replacements hold changes of their own, newer than anything in the stage's
    // journal: they are undone first.
    const QList<TaskSpecification*> running = runningSubTasks;
    for (TaskSpecification* t : running)
        t->reset();
    clearSubTasks();
    FileReplaceTaskSpecification::undoJournal(listRollback, this);
    repairFromSessionJournal();
    resetWithoutSubTasks();
}
