#include "replacejournal.h"

#include "filespecifications.h"
#include "filesystem.h"
#include "installationlayout.h"
#include "refusedversion.h"
#include "sessionlayout.h"
#include "updateinidata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

constexpr QChar separator = u'\t';
constexpr qsizetype checksumLength = 8;
constexpr qsizetype writeBlockSize = 64 * 1024;

struct Tag
{
    const char* text;
    int fields; // how many fields follow the tag: paths, or the installed release's
};

// In the order of ReplaceJournal::Kind, which ends with Commit. An updater reads only the tags it
// knows and passes over the others: one before "installed" finishes a commit as it always did.
constexpr Tag tags[] = {{"replace", 2},   {"add", 2},      {"part", 1},      {"mkdir", 1},
                        {"stale", 1},     {"delete", 1},   {"installed", 3}, {"probation", 3},
                        {"goingback", 1}, {"committed", 0}};

// Written by updaters before records had checksums: a backup made by renaming the original away,
// and a part file. Read so that a run killed by such an updater is still repaired.
const QString legacyBackupTag = u"backup"_s;
const QString legacyPartTag = u"part"_s;

QByteArray checksum(QByteArrayView text)
{
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(text.data()), uInt(text.size()));
    return QByteArray::number(quint32(crc), 16).rightJustified(checksumLength, '0');
}

bool isOneField(const QString& text)
{
    return !text.contains(u'\n') && !text.contains(separator);
}

// The journal lies in a directory anyone with this user's rights could edit, and is read line
// by line: a path must stay inside the application root and be one field of one line.
bool isSafeJournalPath(const QString& path)
{
    return InstallationLayout::isSafeRelativePath(path) && isOneField(path);
}

QString backupPath(const QString& installedPath)
{
    return FileReplaceSpecification::prefixedPath(installedPath,
                                                  InstallationLayout::backupPrefix());
}

bool removeIfTaken(const QString& path, const ReplaceJournal::LogLine& log)
{
    if (!FileSystem::pathTaken(path))
        return true;
    if (FileSystem::removeFile(path).failed()) {
        log(u"Could not delete '%1'"_s.arg(path));
        return false;
    }
    log(u"Removed %1, left by an interrupted update"_s.arg(path));
    return true;
}

} // namespace

ReplaceJournal::ReplaceJournal(InstallationLayout installation, QString sessionDirectory)
    : ReplaceJournal(installation, installation.filePath(fileName()), std::move(sessionDirectory))
{}

ReplaceJournal::ReplaceJournal(InstallationLayout installation, QString journalPath,
                               QString sessionDirectory)
    : installation(std::move(installation))
    , sessionDirectory(std::move(sessionDirectory))
    , journalPath(std::move(journalPath))
{}

ReplaceJournal ReplaceJournal::keptInSession(InstallationLayout installation,
                                             const QString& sessionDirectory)
{
    return {std::move(installation), sessionDirectory + u"/replace.journal"_s, sessionDirectory};
}

QString ReplaceJournal::fileName()
{
    return InstallationLayout::journalFileName();
}

bool ReplaceJournal::recordReplace(const QString& installedPath, const QString& download)
{
    return record({Kind::Replace, installedPath, download});
}

bool ReplaceJournal::recordAdd(const QString& installedPath, const QString& download)
{
    return record({Kind::Add, installedPath, download});
}

bool ReplaceJournal::recordDirectories(const QStringList& directories)
{
    return std::all_of(directories.cbegin(), directories.cend(), [this](const QString& directory) {
        return record({Kind::Directory, directory, {}});
    });
}

bool ReplaceJournal::recordStale(const QString& path)
{
    return record({Kind::Stale, path, {}});
}

bool ReplaceJournal::recordCommit(const QStringList& deletions, const InstalledRelease& installed)
{
    return commit(deletions, installed, {});
}

bool ReplaceJournal::recordCommitOnProbation(const QStringList& deletions,
                                             const InstalledRelease& installed,
                                             const InstalledRelease& previous)
{
    return commit(deletions, installed, previous);
}

bool ReplaceJournal::commit(const QStringList& deletions, const InstalledRelease& installed,
                            const InstalledRelease& previous)
{
    for (const QString& path : deletions) {
        if (!record({Kind::Delete, path, {}}))
            return false;
    }
    // In the same write as the commit, which stays the last record.
    if (installed.isRecorded() && !record({Kind::Installed, {}, {}, false, installed}))
        return false;
    if (previous.isRecorded() && !record({Kind::Probation, {}, {}, false, previous}))
        return false;
    return record({Kind::Commit, {}, {}}) && sync();
}

std::optional<ReplaceJournal::Probation> ReplaceJournal::probation() const
{
    std::optional<Probation> found;
    const QList<Entry> records = entries();
    if (!hasCommit(records))
        return found;
    for (const Entry& entry : records) {
        if (entry.kind == Kind::GoingBack)
            return {};
        if (entry.kind == Kind::Installed || entry.kind == Kind::Probation) {
            if (!found)
                found.emplace();
            (entry.kind == Kind::Installed ? found->installed : found->previous) = entry.release;
        }
    }
    if (found && !found->previous.isRecorded())
        return {};
    return found;
}

bool ReplaceJournal::goBack(const QString& reason, const LogLine& log)
{
    error.clear();
    // The one record after a commit: from here on every repair goes back, however often it is
    // interrupted.
    if (!probation()) {
        error = u"%1 holds no version on probation"_s.arg(journalPath);
        return false;
    }
    QString oneLine = reason;
    oneLine.replace(u'\n', u' ').replace(separator, u' ');
    if (!write({{Kind::GoingBack, oneLine, {}}}, false))
        return false;
    return repair(log);
}

bool ReplaceJournal::record(const Entry& entry)
{
    error.clear();
    // What could not be read back would not be repaired: such a change is not made at all.
    if (!isReadable(entry)) {
        error = u"'%1' cannot be recorded in %2"_s.arg(
                carriesRelease(entry.kind) ? entry.release.channel : entry.path, journalPath);
        pending.clear();
        return false;
    }
    pending.append(entry);
    return true;
}

bool ReplaceJournal::sync()
{
    if (pending.isEmpty())
        return true;
    const QList<Entry> records = std::exchange(pending, {});
    const bool created = !QFileInfo::exists(journalPath);
    // Behind a commit, a repair would take these records for that run's and finish its deletions
    // where it had to undo them.
    if (!created && isCommitted()) {
        error = u"%1 holds the commit of an update that is not finished; nothing more is recorded "
                u"in it"_s.arg(journalPath);
        return false;
    }
    return write(records, created);
}

bool ReplaceJournal::write(const QList<Entry>& records, bool created)
{
    QFile file(journalPath);
    // Unbuffered, so that a failing write shows where it failed; in blocks, so that a batch of
    // many thousand records needs no more memory than one. A journal just created is only found
    // after a power cut once its directory entry is on the disk too.
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    // A new line first: a record that a failed write left without its end stays a line of its
    // own, which its checksum rejects, and does not swallow this one.
    QByteArray text("\n");
    for (qsizetype i = 0; written && i < records.size(); ++i) {
        const Entry& entry = records.at(i);
        appendLine(text, entry);
        // The part files a copy or an unpack may leave beside the file and its backup, named
        // here rather than held for every file of a large batch.
        if (entry.kind == Kind::Replace || entry.kind == Kind::Add)
            appendLine(text, {Kind::Part, FileSystem::partFilePath(entry.path), {}});
        if (entry.kind == Kind::Replace)
            appendLine(text, {Kind::Part, FileSystem::partFilePath(backupPath(entry.path)), {}});
        if (text.size() >= writeBlockSize || i + 1 == records.size()) {
            written = file.write(text) == text.size();
            text.clear();
        }
    }
    if (written && !FileSystem::syncFileData(file).failed() &&
        (!created || !FileSystem::syncDirectory(QFileInfo(journalPath).path()).failed()))
        return true;
    error = u"Could not write to %1"_s.arg(journalPath);
    return false;
}

void ReplaceJournal::appendLine(QByteArray& text, const Entry& entry)
{
    QByteArray line(tags[int(entry.kind)].text);
    for (const QString& field : fields(entry))
        line += separator.toLatin1() + field.toUtf8();
    text += line + separator.toLatin1() + checksum(line) + '\n';
}

QStringList ReplaceJournal::fields(const Entry& entry)
{
    if (carriesRelease(entry.kind))
        return {QString::number(entry.release.version), entry.release.channel,
                entry.release.released.toString(Qt::ISODate)};
    return QStringList{entry.path, entry.download}.first(tags[int(entry.kind)].fields);
}

ReplaceJournal::Entry ReplaceJournal::fromFields(Kind kind, const QStringList& fields)
{
    if (!carriesRelease(kind))
        return {kind, fields.value(0), fields.value(1)};
    // A version that is no number reads as 0, and the record as unreadable.
    const InstalledRelease release{fields.at(0).toInt(), fields.at(1),
                                   QDateTime::fromString(fields.at(2), Qt::ISODate)};
    return {kind, {}, {}, false, release};
}

QList<ReplaceJournal::Entry> ReplaceJournal::entries() const
{
    QList<Entry> found;
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly))
        return found;
    QList<Entry> legacy;
    bool checksummed = false;
    QSet<QByteArray> seen;
    const QList<QByteArray> lines = file.readAll().split('\n');
    // The last piece is either empty or a line cut short, which has no end yet.
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        if (line.isEmpty() || seen.contains(line))
            continue;
        seen.insert(line);
        const QStringList fields = QString::fromUtf8(line).split(separator);
        const qsizetype end = line.lastIndexOf(separator.toLatin1());
        if (end < 0 || line.size() - end - 1 != checksumLength ||
            checksum(line.left(end)) != line.mid(end + 1)) {
            if (fields.size() == 2 &&
                (fields.at(0) == legacyBackupTag || fields.at(0) == legacyPartTag))
                legacy.append({fields.at(0) == legacyPartTag ? Kind::Part : Kind::Replace,
                               fields.at(1),
                               {},
                               true});
            continue;
        }
        checksummed = true;
        for (int kind = 0; kind < int(std::size(tags)); ++kind) {
            const Tag& tag = tags[kind];
            if (fields.size() != tag.fields + 2 || fields.at(0) != QLatin1StringView(tag.text))
                continue;
            found.append(fromFields(Kind(kind), fields.mid(1, tag.fields)));
            break;
        }
    }
    // A line without a checksum in a journal of this updater's is a record cut short, never one
    // of an older updater's.
    QList<Entry> records = checksummed ? found : legacy;
    records.removeIf([](const Entry& entry) { return !isReadable(entry); });
    return records;
}

bool ReplaceJournal::isReadable(const Entry& entry)
{
    static_assert(std::size(tags) == std::size_t(Kind::Commit) + 1, "one tag for every kind");
    if (carriesRelease(entry.kind))
        return entry.release.isRecorded() && !entry.release.channel.isEmpty() &&
               isOneField(entry.release.channel);
    if (entry.kind == Kind::GoingBack)
        return isOneField(entry.path);
    const int paths = tags[int(entry.kind)].fields;
    if ((paths > 0 && !isSafeJournalPath(entry.path)) ||
        (!entry.download.isEmpty() && !isSafeJournalPath(entry.download)))
        return false;
    // Only a part file is ever removed as one.
    return entry.kind != Kind::Part ||
           QFileInfo(entry.path).fileName().startsWith(InstallationLayout::partFilePrefix());
}

bool ReplaceJournal::exists() const
{
    return QFileInfo::exists(journalPath);
}

const ReplaceJournal::Entry* ReplaceJournal::firstOf(const QList<Entry>& records, Kind kind)
{
    const auto found = std::find_if(records.cbegin(), records.cend(),
                                    [kind](const Entry& entry) { return entry.kind == kind; });
    return found == records.cend() ? nullptr : &*found;
}

bool ReplaceJournal::hasCommit(const QList<Entry>& records)
{
    return firstOf(records, Kind::Commit) != nullptr;
}

bool ReplaceJournal::isCommitted() const
{
    return hasCommit(entries());
}

bool ReplaceJournal::carriesRelease(Kind kind)
{
    return kind == Kind::Installed || kind == Kind::Probation;
}

QStringList ReplaceJournal::backups() const
{
    QStringList paths;
    for (const Entry& entry : entries()) {
        if (entry.kind == Kind::Replace)
            paths.append(entry.path);
    }
    return paths;
}

bool ReplaceJournal::repair(const LogLine& log)
{
    error.clear();
    const QList<Entry> records = entries();
    if (!hasCommit(records)) {
        if (!undo(records, log)) {
            // Each change that could not be undone has its own log line.
            error = u"Could not undo all file changes recorded in %1; the installation may be "
                    u"incomplete"_s.arg(journalPath);
            return false;
        }
    } else if (firstOf(records, Kind::GoingBack)) {
        if (!putBack(records, log))
            return false;
    } else {
        finishDeletions(records, log);
        if (!recordInstalled(records))
            return false;
    }
    return settle();
}

bool ReplaceJournal::recordInstalled(const QList<Entry>& records)
{
    // The commits of older updaters carry none; their runs recorded the release at their end.
    const auto installed = std::find_if(records.crbegin(), records.crend(), [](const Entry& entry) {
        return entry.kind == Kind::Installed;
    });
    if (installed == records.crend() || installed->release.write(installation))
        return true;
    error = u"Could not record version %1 as installed in %2"_s.arg(installed->release.version)
                    .arg(UpdateIniData::filename(installation));
    return false;
}

bool ReplaceJournal::settle()
{
    // The journal goes only once what it undid, deleted or recorded is on the disk: lost in a
    // power cut before that, the repair would be lost with it.
    if (!syncFileSystems({installation.root()})) {
        error = u"Could not write the repair of %1 to the disk: %2"_s.arg(journalPath,
                                                                          qt_error_string(errno));
        return false;
    }
    // A journal left behind would have the next run append to it.
    QFile file(journalPath);
    if (file.remove() || !file.exists())
        return true;
    error = u"Could not remove %1 after its repair: %2"_s.arg(journalPath, file.errorString());
    return false;
}

void ReplaceJournal::discardCommitted() const
{
    // Nothing is written after the commit record: the end of the file tells, without reading
    // the records of every file. A probation is written right before the commit and keeps the
    // journal until the new version has started.
    static const QByteArray commitEnd = "\n" + QByteArray(tags[int(Kind::Commit)].text) +
                                        separator.toLatin1() +
                                        checksum(tags[int(Kind::Commit)].text) + '\n';
    constexpr qint64 tail = 4096;
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(qMax(0LL, file.size() - tail)))
        return;
    const QByteArray end = file.read(tail);
    if (!end.endsWith(commitEnd))
        return;
    const QByteArray beforeCommit = end.chopped(commitEnd.size());
    if (beforeCommit.mid(beforeCommit.lastIndexOf('\n') + 1)
                .startsWith(QByteArray(QByteArray(tags[int(Kind::Probation)].text) +
                                       separator.toLatin1())))
        return;
    file.close();
    if (syncFileSystems({installation.root()}))
        discard();
}

bool ReplaceJournal::undo(const QList<Entry>& records, const LogLine& log) const
{
    bool allUndone = true;
    for (auto it = records.crbegin(); it != records.crend(); ++it) {
        const Entry& entry = *it;
        const QString installed = installation.filePath(entry.path);
        switch (entry.kind) {
        case Kind::Replace:
            allUndone = undoReplace(entry, log) && allUndone;
            break;
        case Kind::Add:
            allUndone = undoAdd(entry, log) && allUndone;
            break;
        case Kind::Part:
            if (!QFileInfo(installed).isDir())
                allUndone = removeIfTaken(installed, log) && allUndone;
            break;
        case Kind::Directory: {
            // Only an empty one: anything put there since is kept.
            const QFileInfo info(installed);
            if (info.isDir() && !info.isSymLink() && info.dir().rmdir(info.fileName()))
                log(u"Removed %1, left by an interrupted update"_s.arg(installed));
            break;
        }
        case Kind::Stale: // a leftover, deleted or not: nothing to give back
        case Kind::Delete:
        case Kind::Installed:
        case Kind::Probation:
        case Kind::GoingBack:
        case Kind::Commit:
            break;
        }
    }
    return allUndone;
}

bool ReplaceJournal::undoReplace(const Entry& entry, const LogLine& log) const
{
    const QString installed = installation.filePath(entry.path);
    const QString backup = installation.filePath(backupPath(entry.path));
    if (!FileSystem::pathTaken(backup))
        return true; // stopped before the backup was made: the original never left its name
    // Such an updater renamed the original away; only a missing one is put back.
    if (entry.legacy && FileSystem::pathTaken(installed))
        return true;
    if (FileSystem::sameFile(backup, installed)) {
        // Stopped before the new file took the name: the backup is only a second name.
        return removeIfTaken(backup, log);
    }
    // A moved download goes back to the session directory, so the next run need not fetch it.
    // A link never takes a name that something holds.
    if (FileSystem::pathTaken(installed) && !downloadPath(entry).isEmpty())
        static_cast<void>(FileSystem::link(installed, downloadPath(entry)));
    // In one rename over whatever is there, so that the installed name never goes missing.
    if (FileSystem::renameOver(backup, installed).failed()) {
        log(u"Could not rename '%1' to '%2'"_s.arg(backup, installed));
        return false;
    }
    log(u"Restored %1, left at %2 by an interrupted update"_s.arg(installed, backup));
    return true;
}

bool ReplaceJournal::undoAdd(const Entry& entry, const LogLine& log) const
{
    const QString installed = installation.filePath(entry.path);
    if (!FileSystem::pathTaken(installed))
        return true;
    // A moved download goes back to the session directory, so the next run need not fetch it.
    const QString download = downloadPath(entry);
    if (!download.isEmpty() && !FileSystem::pathTaken(download) &&
        QFileInfo(download).dir().exists() && QFile::rename(installed, download)) {
        log(u"Removed %1, left by an interrupted update"_s.arg(installed));
        return true;
    }
    return removeIfTaken(installed, log);
}

void ReplaceJournal::finishDeletions(const QList<Entry>& records, const LogLine& log) const
{
    log(u"Finishing the deletions of an interrupted update"_s);
    const bool onProbation = firstOf(records, Kind::Probation) != nullptr;
    const QStringList backups = backupsOf(records);
    for (const Entry& entry : records) {
        if (entry.kind != Kind::Delete)
            continue;
        // As in the run itself, a file that cannot be deleted is skipped.
        static_cast<void>(removeIfTaken(installation.filePath(entry.path), log));
        // On probation, a deleted file was kept under its backup name.
        if (onProbation && !backups.contains(entry.path))
            static_cast<void>(removeIfTaken(installation.filePath(backupPath(entry.path)), log));
    }
}

QStringList ReplaceJournal::backupsOf(const QList<Entry>& records)
{
    QStringList paths;
    for (const Entry& entry : records) {
        if (entry.kind == Kind::Replace)
            paths.append(backupPath(entry.path));
    }
    return paths;
}

bool ReplaceJournal::putBack(const QList<Entry>& records, const LogLine& log)
{
    const QString reason = firstOf(records, Kind::GoingBack)->path;
    const Entry* const probationRecord = firstOf(records, Kind::Probation);
    const InstalledRelease previous =
            probationRecord ? probationRecord->release : InstalledRelease();
    log(u"%1: going back to version %2"_s.arg(reason).arg(previous.version));
    const QStringList backups = backupsOf(records);
    bool allPutBack = true;
    for (auto it = records.crbegin(); it != records.crend(); ++it) {
        const Entry& entry = *it;
        // A deleted file comes back from its backup name, as a replaced one does.
        if (entry.kind == Kind::Delete && !backups.contains(entry.path))
            allPutBack = undoReplace({Kind::Replace, entry.path, {}}, log) && allPutBack;
    }
    // What a run did before its commit is undone as a failed run's is; a moved download has no
    // session to go back to any more.
    QList<Entry> changes;
    for (const Entry& entry : records) {
        if (entry.kind != Kind::Delete)
            changes.append({entry.kind, entry.path, {}, entry.legacy, entry.release});
    }
    if (!undo(changes, log) || !allPutBack) {
        error = u"Could not put back all files of the version before, recorded in %1"_s.arg(
                journalPath);
        return false;
    }
    // The refusal goes with the going back, so that an interrupted one is recorded all the same.
    const Entry* const installedRecord = firstOf(records, Kind::Installed);
    const RefusedVersion refused{installedRecord ? installedRecord->release.version : 0,
                                 previous.version, reason};
    if (previous.write(installation) && refused.write(installation))
        return true;
    error = u"Could not record version %1 as installed in %2"_s.arg(previous.version)
                    .arg(UpdateIniData::filename(installation));
    return false;
}

QString ReplaceJournal::downloadPath(const Entry& entry) const
{
    // Gone with the temporary directory after a reboot: the next run fetches the file again.
    if (entry.download.isEmpty() || sessionDirectory.isEmpty() ||
        !QFileInfo(sessionDirectory).isDir())
        return {};
    return SessionLayout(sessionDirectory).filePath(entry.download);
}

void ReplaceJournal::discard() const
{
    QFile::remove(journalPath);
}

bool ReplaceJournal::syncFileSystems(const QStringList& paths)
{
    if (syncsFail) {
        errno = EIO;
        return false;
    }
    return !FileSystem::syncFileSystems(paths).failed();
}
