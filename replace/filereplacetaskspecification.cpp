#include "filereplacetaskspecification.h"

#include "approot.h"
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filebackuptaskspecification.h"
#include "filecopytaskspecification.h"
#include "filerenametaskspecification.h"
#include "fileunziptaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

constexpr double stepWeight = 0.1;  // making the backup of the installed file
constexpr double checkWeight = 0.2; // checking an unpacked file

} // namespace

QStringList FileReplaceTaskSpecification::Plan::partPaths() const
{
    QStringList parts{FileCopyFunc::partFilePath(installed)};
    if (replacing)
        parts.append(FileCopyFunc::partFilePath(FileReplaceSpecification::prefixedPath(
                installed, Configuration::getSpecialFileRenamePrefix())));
    return parts;
}

FileReplaceTaskSpecification::Plan
FileReplaceTaskSpecification::planFor(const FileReplaceSpecification& record,
                                      const QString& tempDir)
{
    Plan plan;
    plan.installed = record.destFileName(QString());
    plan.target = AppRoot::filePath(plan.installed);
    plan.backup = AppRoot::filePath(record.oldDestFileName());
    plan.replacing = FileRenameTaskSpecification::pathTaken(plan.target);
    const QString patched = QDir(tempDir).filePath(record.patchedName());
    const bool madeByPatch = record.hasUnzip() && QFileInfo::exists(patched);
    plan.unpacks = record.hasUnzip() && !madeByPatch;
    plan.source = madeByPatch ? patched : QDir(tempDir).filePath(record.fileName);
    // An unpacked file is no download that could be given back; one a patch made is.
    plan.movedDownload = !record.hasUnzip() ? record.fileName
                         : madeByPatch      ? record.patchedName()
                                            : QString();
    plan.special = Configuration::getSpecialFileNames().contains(
            QFileInfo(record.pureDestFilePath()).fileName(), Qt::CaseSensitive);
    return plan;
}

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceSpecification& record,
                                                           Plan plan, QList<QString>* deleteList,
                                                           QObject* parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , replaceSpec(record)
    , plan(std::move(plan))
    , deleteList(deleteList)
{
    Q_ASSERT(deleteList);
}

void FileReplaceTaskSpecification::execute()
{
    emit message(u"add/replace %1"_s.arg(replaceSpec.fileName));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    double remaining = 1.0;
    const auto placement = plan.replacing ? SlowFileOpSpecification::Placement::OverExisting
                                          : SlowFileOpSpecification::Placement::NewName;
    if (plan.replacing) {
        addSubTask(new FileBackupTaskSpecification(plan.target, plan.backup, this, stepWeight));
        remaining -= stepWeight;
    }
    const std::optional<QFileDevice::Permissions> mode = installedMode(plan.target);
    if (plan.unpacks) {
        addSubTask(new FileUnzipTaskSpecification(plan.source, plan.target, this,
                                                  remaining - checkWeight, mode, placement));
        auto* check = new CheckSignatureTaskSpecification(plan.target, replaceSpec.unpackedMd5,
                                                          true, this, checkWeight);
        check->setExpectedSha256(replaceSpec.unpackedSha256);
        addSubTask(check);
    } else {
        // Moved into place where it can be; the journal's undo gives it back to the temporary
        // directory, where a resumed run finds it.
        addSubTask(new FileCopyTaskSpecification(
                plan.source, plan.target, this, remaining, mode,
                FileCopyTaskSpecification::Transfer::MoveWhenPossible, placement));
    }
    setRunning();
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    // The copy or unpack gave the file its mode before it appeared under its name.
    if (getStateFromSubTasks() == Finished && plan.replacing && !plan.special)
        deleteList->append(replaceSpec.oldDestFileName());
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    resetWithoutSubTasks();
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
