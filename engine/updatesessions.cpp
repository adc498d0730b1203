// The session directories of update runs and their record.
#include "updatesessions.h"

#include "updateinidata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <unistd.h>

using namespace Qt::StringLiterals;

QString UpdateSessions::previous(const InstallationLayout& installation, int version,
                                 const QString& clientType, const LogLine& log)
{
    int recordedVersion = 0;
    QString type;
    QString directory;
    if (!UpdateIniData::get(installation, &recordedVersion, &type, &directory))
        return {};
    if (recordedVersion == version && type == clientType) {
        // Anything else counts as no record; the new session's record replaces it.
        if (!isSessionDirectory(directory))
            return {};
        log(u"Previous update session for v. %1 found"_s.arg(recordedVersion));
        return directory;
    }
    if (!isSessionDirectory(directory)) {
        log(u"Previous session directory %1 is not a session directory, leaving it in place"_s.arg(
                directory));
        UpdateIniData::cleanup(installation);
        return {};
    }
    log(u"Cleanup previous session (v. %1, %2) files..."_s.arg(recordedVersion).arg(directory));
    const bool removed = remove(installation, directory);
    if (QDir(QFileInfo(directory).absolutePath()).exists())
        log(removed ? u"Ok"_s : u"Failed to remove directory"_s);
    return {};
}

QString UpdateSessions::recorded(const InstallationLayout& installation)
{
    QString directory;
    if (UpdateIniData::get(installation, nullptr, nullptr, &directory) &&
        isSessionDirectory(directory))
        return directory;
    return {};
}

void UpdateSessions::removeRecorded(const InstallationLayout& installation, const LogLine& log)
{
    log(u"Remove temporary files..."_s);
    QString directory;
    if (UpdateIniData::get(installation, nullptr, nullptr, &directory)) {
        if (isSessionDirectory(directory))
            remove(installation, directory);
        else
            UpdateIniData::cleanup(installation);
    }
    log(u"Temporary files removed."_s);
}

bool UpdateSessions::remove(const InstallationLayout& installation, const QString& directory)
{
    emptyDirectory(directory);
    const bool removed = removeDirectory(directory);
    UpdateIniData::cleanup(installation);
    return removed;
}

bool UpdateSessions::isSessionDirectory(const QString& path)
{
    static const QRegularExpression sessionName(u"^sonavelle_temp_[0-9]+$"_s);
    const QFileInfo info(path);
    return sessionName.match(info.fileName()).hasMatch() && !info.isSymLink() && info.isDir() &&
           info.ownerId() == ::geteuid();
}

void UpdateSessions::emptyDirectory(const QString& path)
{
    // Symbolic links are neither followed nor deleted: they may point anywhere.
    const QDir directory(path);
    const auto common = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    for (const QString& file : directory.entryList(QDir::Files | common))
        QFile::remove(directory.filePath(file));
    for (const QString& subdirectory : directory.entryList(QDir::Dirs | common)) {
        const QString subPath = directory.filePath(subdirectory);
        emptyDirectory(subPath);
        removeDirectory(subPath);
    }
}

bool UpdateSessions::removeDirectory(const QString& path)
{
    const QFileInfo info(path);
    return QDir(info.absolutePath()).rmdir(info.fileName());
}
