#include "sessionlayout.h"

#include "releasemanifest.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

Result<SessionLayout> SessionLayout::create()
{
    QString prefix = QDir::tempPath();
    if (prefix.isEmpty())
        return Failure{Failure::Kind::Disk, u"Unable to get temp directory."_s};
    if (!prefix.endsWith(u'/'))
        prefix += u'/';
    prefix += u"sonavelle_temp_"_s;

    // The name is predictable and the parent shared by all users: only a directory this process
    // created itself, readable by its owner alone, may hold the session's files.
    const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    QDir().mkpath(QFileInfo(prefix).absolutePath());
    for (int i = 0; i < directoryCandidates; ++i) {
        const QString candidate = prefix + QString::number(i);
        if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
            continue;
        if (QDir().mkdir(candidate, ownerOnly))
            return SessionLayout(candidate);
    }
    return Failure{Failure::Kind::Disk, u"Unable to create temp directory."_s};
}

QString SessionLayout::productIniPath(const QString& clientType) const
{
    return filePath(clientType + u".ini"_s);
}

QString SessionLayout::manifestPath(const QString& clientType) const
{
    return filePath(ReleaseManifest::fileName(clientType));
}
