#include "installationlayout.h"

#include <QDir>
#include <QList>

#include <utility>

using namespace Qt::StringLiterals;

const QString& InstallationLayout::backupPrefix()
{
    static const QString prefix = u"_old_"_s;
    return prefix;
}

const QString& InstallationLayout::partFilePrefix()
{
    static const QString prefix = u".sonavelle_part_"_s;
    return prefix;
}

const QString& InstallationLayout::lockFileName()
{
    static const QString name = u".update.lock"_s;
    return name;
}

const QString& InstallationLayout::journalFileName()
{
    static const QString name = u".update.journal"_s;
    return name;
}

bool InstallationLayout::isSafeRelativePath(const QString& path)
{
    if (path.trimmed().isEmpty() || QDir::isAbsolutePath(path))
        return false;
    if (path.contains(u'\\') || path.contains(QChar(0)))
        return false;
    return !path.split(u'/').contains(u".."_s);
}

QString InstallationLayout::reservedNameProblem(const QString& path)
{
    // "./update.ini" and "lib/../update.ini" are the same file to the file system.
    const QString clean = QDir::cleanPath(path);
    const QString name = clean.section(u'/', -1);
    if (name.startsWith(backupPrefix()))
        return u"names beginning with \"%1\" are the updater's backups"_s.arg(backupPrefix());
    if (name.startsWith(partFilePrefix()))
        return u"names beginning with \"%1\" are the updater's files being installed"_s.arg(
                partFilePrefix());
    // A release that brought one of these would let a second updater run beside the first, or
    // take the user's settings and the records of what is installed.
    static const QList<std::pair<QString, QString>> rootNames{
            {lockFileName(),
             u"the updater's lock, which keeps a second updater off the installation"_s},
            {journalFileName(), u"the updater's journal, which undoes an interrupted update"_s},
            {u"update.ini"_s, u"the user's settings and the updater's records"_s},
            // Qt's settings writer locks the file with it while it writes.
            {u"update.ini.lock"_s, u"the lock the updater takes to write its settings"_s}};
    for (const auto& [reserved, what] : rootNames) {
        if (clean == reserved)
            return u"the name is that of %1"_s.arg(what);
    }
    return {};
}

const QStringList& InstallationLayout::ownFileNames()
{
    static const QStringList names{u"update"_s,
                                   u"libQtCore.so.4"_s,
                                   u"libQtGui.so.4"_s,
                                   u"libQtNetwork.so.4"_s,
                                   u"libqgif.so"_s,
                                   u"libqjpeg.so"_s,
                                   u"libqtaccessiblewidgets.so"_s};
    return names;
}

QString InstallationLayout::clientStartScript()
{
    return u"vq3client_runscript.sh"_s;
}
