#include "releasetoolscanner.h"

#include "releasetoolnames.h"
#include "settingsfile.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

using namespace Qt::StringLiterals;

bool ReleaseToolScanner::scanDirectory(const QString& directory,
                                       QList<ReleaseToolSourceFile>& files)
{
    files.clear();
    const QFileInfo root(directory);
    if (!root.isDir())
        return fail(u"client directory %1 not found"_s.arg(ReleaseToolNames::display(directory)));

    const QDir base(root.absoluteFilePath());
    QDirIterator it(base.path(),
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QString relative = base.relativeFilePath(info.filePath());
        const QString shown = ReleaseToolNames::display(relative);
        if (info.isSymLink()) {
            if (info.isDir())
                return fail(
                        u"%1 is a symbolic link to a directory; a release holds files only"_s.arg(
                                shown));
            if (!info.exists())
                return fail(u"cannot read %1: the symbolic link leads nowhere"_s.arg(shown));
        } else if (info.isDir()) {
            continue;
        }
        if (!info.isFile())
            return fail(u"%1 is not a regular file"_s.arg(shown));
        files.append({relative, info.absoluteFilePath(), info.size(),
                      info.permissions().testFlag(QFileDevice::ExeOwner)});
    }
    if (files.isEmpty())
        return fail(
                u"client directory %1 holds no files"_s.arg(ReleaseToolNames::display(directory)));
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.relativePath < b.relativePath; });
    return true;
}

bool ReleaseToolScanner::scanProductIni(const QString& iniFile, QStringList& installedPaths)
{
    installedPaths.clear();
    const QString shown = ReleaseToolNames::display(iniFile);
    if (!QFileInfo(iniFile).isFile())
        return fail(u"previous product ini %1 not found"_s.arg(shown));
    QSettings ini(iniFile, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return fail(u"previous product ini %1 cannot be read"_s.arg(shown));

    const QStringList sections = ini.childGroups();
    for (const QString& section : sections) {
        if (section == u"delete")
            continue;
        ini.beginGroup(section);
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            const QStringList fields = SettingsFile::readText(ini, key).split(u"::"_s);
            const bool unpacked = fields.size() == 5 && !fields[4].isEmpty();
            installedPaths.append(unpacked ? fields[4] : key);
        }
        ini.endGroup();
    }
    if (installedPaths.isEmpty())
        return fail(u"previous product ini %1 lists no files"_s.arg(shown));
    return true;
}

bool ReleaseToolScanner::fail(const QString& text)
{
    error = text;
    return false;
}
