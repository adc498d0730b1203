#include "replacejournal.h"

#include "approot.h"
#include "configuration.h"
#include "filerenametaskspecification.h"
#include "filespecifications.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

using namespace Qt::StringLiterals;

namespace {

const QString backupTag = u"backup"_s;
const QString partTag = u"part"_s;
constexpr QChar separator = u'\t';

// The journal lies in a directory anyone with this user's rights could edit, and is read line
// by line: a path must stay inside the application root and be one line.
bool isSafeJournalPath(const QString& path)
{
    return AppRoot::isSafeRelativePath(path) && !path.contains(u'\n');
}

QString backupPath(const QString& installedPath)
{
    return FileReplaceSpecification::prefixedPath(installedPath,
                                                  Configuration::getSpecialFileRenamePrefix());
}

} // namespace

ReplaceJournal::ReplaceJournal(QString sessionDirectory)
    : journalPath(std::move(sessionDirectory) + u'/' + fileName())
{}

QString ReplaceJournal::fileName()
{
    return u"replace.journal"_s;
}

bool ReplaceJournal::recordBackup(const QString& installedPath)
{
    return append(backupTag + separator + installedPath + u'\n');
}

bool ReplaceJournal::recordPart(const QString& partPath)
{
    return append(partTag + separator + partPath + u'\n');
}

bool ReplaceJournal::recordBackups(const QStringList& installedPaths)
{
    QString text;
    for (const QString& path : installedPaths)
        text += backupTag + separator + path + u'\n';
    return installedPaths.isEmpty() || append(text);
}

bool ReplaceJournal::append(const QString& text)
{
    error.clear();
    QFile file(journalPath);
    // One write per record: a killed process leaves whole lines, or a last line without its
    // end, which reading skips.
    const QByteArray line = text.toUtf8();
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered) &&
        file.write(line) == line.size() && file.flush())
        return true;
    error = u"Could not write to %1"_s.arg(journalPath);
    return false;
}

QList<ReplaceJournal::Entry> ReplaceJournal::entries() const
{
    QList<Entry> found;
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly))
        return found;
    QSet<QString> seen;
    const QList<QByteArray> lines = file.readAll().split('\n');
    // The last piece is either empty or a line cut short by a kill.
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines.at(i));
        const qsizetype tab = line.indexOf(separator);
        const QString tag = line.left(tab);
        const QString path = line.mid(tab + 1);
        if (tab < 0 || (tag != backupTag && tag != partTag) || !isSafeJournalPath(path))
            continue;
        if (seen.contains(line))
            continue;
        seen.insert(line);
        found.append({tag == backupTag ? Kind::Backup : Kind::Part, path});
    }
    return found;
}

QStringList ReplaceJournal::repair(const LogLine& log) const
{
    QStringList backupsInPlace;
    for (const Entry& entry : entries()) {
        const QString installed = AppRoot::filePath(entry.path);
        if (entry.kind == Kind::Part) {
            if (FileRenameTaskSpecification::pathTaken(installed) && QFile::remove(installed))
                log(u"Removed %1, left by an interrupted update"_s.arg(installed));
            continue;
        }
        const QString backup = AppRoot::filePath(backupPath(entry.path));
        if (!FileRenameTaskSpecification::pathTaken(backup))
            continue;
        if (FileRenameTaskSpecification::pathTaken(installed)) {
            backupsInPlace.append(entry.path);
        } else if (QFile::rename(backup, installed)) {
            log(u"Restored %1, left at %2 by an interrupted update"_s.arg(installed, backup));
        } else {
            log(u"Could not rename '%1' to '%2'"_s.arg(backup, installed));
        }
    }
    return backupsInPlace;
}

void ReplaceJournal::removeBackups() const
{
    for (const Entry& entry : entries()) {
        if (entry.kind != Kind::Backup)
            continue;
        if (Configuration::getSpecialFileNames().contains(QFileInfo(entry.path).fileName()))
            continue;
        const QString backup = AppRoot::filePath(backupPath(entry.path));
        if (FileRenameTaskSpecification::pathTaken(backup))
            QFile::remove(backup);
    }
}
