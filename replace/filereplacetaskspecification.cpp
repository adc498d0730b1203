#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "filebackuptaskspecification.h"
#include "filerenametaskspecification.h"
#include "filetransfertaskspecification.h"
#include "installationlayout.h"

#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

constexpr double stepWeight = 0.1;  // making the backup of the installed file
constexpr double checkWeight = 0.2; // checking an unpacked file

} // namespace

FileReplaceTaskSpecification::Plan
FileReplaceTaskSpecification::planFor(const FileReplaceSpecification& record,
                                      const SessionLayout& session,
                                      const InstallationLayout& installation)
{
    Plan plan;
    plan.installed = record.destFileName(QString());
    plan.replacing = FileRenameTaskSpecification::pathTaken(installation.filePath(plan.installed));
    // An unpacked file is no download that could be given back; one a patch made is.
    if (!record.hasUnzip())
        plan.movedDownload = record.fileName;
    else if (QFileInfo::exists(session.filePath(record.patchedName())))
        plan.movedDownload = record.patchedName();
    plan.special = InstallationLayout::ownFileNames().contains(
            QFileInfo(record.pureDestFilePath()).fileName(), Qt::CaseSensitive);
    return plan;
}

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceSpecification& record,
                                                           Plan plan, SessionLayout session,
                                                           InstallationLayout installation,
                                                           QObject* parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , replaceSpec(record)
    , plan(std::move(plan))
    , session(std::move(session))
    , installation(std::move(installation))
{}

void FileReplaceTaskSpecification::execute()
{
    emit message(u"add/replace %1"_s.arg(replaceSpec.fileName));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString target = installation.filePath(plan.installed);
    double remaining = 1.0;
    const auto placement = plan.replacing ? SlowFileOpSpecification::Placement::OverExisting
                                          : SlowFileOpSpecification::Placement::NewName;
    if (plan.replacing) {
        addSubTask(new FileBackupTaskSpecification(
                target, installation.filePath(replaceSpec.oldDestFileName()), this, stepWeight));
        remaining -= stepWeight;
    }
    const std::optional<QFileDevice::Permissions> mode = installedMode(target, replaceSpec.mode);
    if (plan.movedDownload.isEmpty()) {
        addSubTask(new FileTransferTaskSpecification(
                session.filePath(replaceSpec.fileName), target, this, remaining - checkWeight, mode,
                FileTransferTaskSpecification::Transfer::Unzip, placement));
        auto* check = new CheckSignatureTaskSpecification(target, replaceSpec.unpackedMd5, this,
                                                          checkWeight);
        check->setExpectedSha256(replaceSpec.unpackedSha256);
        addSubTask(check);
    } else {
        // Moved into place where it can be; the journal's undo gives it back to the temporary
        // directory, where a resumed run finds it.
        addSubTask(new FileTransferTaskSpecification(
                session.filePath(plan.movedDownload), target, this, remaining, mode,
                FileTransferTaskSpecification::Transfer::MoveWhenPossible, placement));
    }
    setRunning();
    executeSubTasks();
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
FileReplaceTaskSpecification::installedMode(const QString& path, FileMode recorded)
{
    // The listed names stay programs whatever a release records, so that no client directory
    // that lost its execute bits on the way to the release tool strands the updater or the
    // client's start script.
    const QFileInfo info(path);
    if (recorded == FileMode::Executable ||
        executableFiles().contains(info.fileName(), Qt::CaseSensitive) ||
        executableSuffixes().contains(info.completeSuffix(), Qt::CaseSensitive))
        return executableMode();
    if (recorded == FileMode::Plain)
        return plainMode();
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

QFileDevice::Permissions FileReplaceTaskSpecification::plainMode()
{
    // 0644
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
           QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther;
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path)
{
    if (const auto mode = installedMode(path))
        QFile::setPermissions(path, *mode);
}
