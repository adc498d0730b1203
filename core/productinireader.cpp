#include "productinireader.h"

#include "mirrorsini.h"
#include "releasemanifest.h"
#include "settingsfile.h"
#include "wholefile.h"
#include "workpool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QThread>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// Sizes are unsigned decimals; anything else, or more than a file can hold, reads as 0.
qint64 readSize(const QString& text)
{
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    return ok && value <= qulonglong(std::numeric_limits<qint64>::max()) ? qint64(value) : 0;
}

// A missing or unreadable file simply does not count as current.
bool existsWithDigest(const QString& path, const QString& md5)
{
    return QFile::exists(path) && WholeFile(path).matchesMd5(md5);
}

bool existsWithSha256(const QString& path, const QByteArray& sha256)
{
    return QFile::exists(path) && WholeFile(path).matchesSha256(sha256);
}

// Earlier updaters made programs by name only, so a program of the release under another name may
// lie there with its content current but without its execute bit. Only a missing bit counts: one
// too many harms nothing, and file systems without modes show every file executable.
bool lacksExecuteBit(const QString& path, FileMode mode)
{
    return mode == FileMode::Executable && !(QFile::permissions(path) & QFileDevice::ExeOwner);
}

// What no release removes: the updater and its libraries, the settings, the lock and the journal.
bool isUpdatersOwn(const QString& path)
{
    return InstallationLayout::isOwnFile(path) || path == SettingsFile::updateIniName() ||
           path == MirrorsIni::fileName() || path.startsWith(u".update."_s);
}

} // namespace

ProductIniReader::ProductIniReader(QString clientType, SessionLayout session,
                                   InstallationLayout installation)
    : clientType(std::move(clientType))
    , session(std::move(session))
    , installation(std::move(installation))
{}

int ProductIniReader::getFileCount(QSettings& settings)
{
    int count = 0;
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        settings.beginGroup(group);
        count += int(settings.allKeys().size());
        settings.endGroup();
    }
    return count;
}

bool ProductIniReader::read(FileSpecifications& lists)
{
    fileLists.clear();
    entries.clear();
    entriesDone = 0;
    const QString iniPath = session.productIniPath(clientType);
    report(u"Compiling download and replace list"_s);

    QSettings ini(iniPath, QSettings::IniFormat);
    entryCount = getFileCount(ini);
    if (entryCount == 0) {
        report(u"No files in product ini"_s);
        return false;
    }
    const QStringList sections = ini.childGroups();
    for (const QString& section : sections) {
        ini.beginGroup(section);
        const bool parsed = parseSection(ini, section);
        ini.endGroup();
        if (!parsed)
            return false;
    }
    if (manifest != nullptr && !takeSha256Digests())
        return false;
    if (newer != nullptr && !addPullBackEntries())
        return false;
    rejectedFileLeft = false;
    compareWithInstallation();
    if (rejectedFileLeft)
        return false;
    lists = std::exchange(fileLists, {});
    return true;
}

bool ProductIniReader::takeSha256Digests()
{
    for (Entry& entry : entries) {
        if (!entry.deletion.isEmpty())
            continue;
        FileDownloadSpecification& download = entry.download;
        const QString path = download.sourceDir + u'/' + download.fileName;
        const ReleaseManifestFile* listed = manifest->file(path);
        if (listed == nullptr || listed->size != download.size ||
            listed->isPacked() != entry.replace.hasUnzip()) {
            report(u"The release manifest does not list %1 as the product ini does"_s.arg(path));
            return false;
        }
        download.sha256 = listed->sha256;
        entry.replace.unpackedSha256 = listed->unpackedSha256;
        entry.replace.mode = listed->mode;
    }
    return true;
}

bool ProductIniReader::addPullBackEntries()
{
    QList<Entry> newerFiles;
    if (!readNewerFiles(newerFiles))
        return false;
    // What this release installs or deletes itself is decided by its own entries.
    QSet<QString> decided;
    for (const Entry& entry : std::as_const(entries))
        decided.insert(QDir::cleanPath(entry.deletion.isEmpty() ? entry.replace.pureDestFilePath()
                                                                : entry.deletion));
    for (const Entry& file : std::as_const(newerFiles)) {
        const QString path = QDir::cleanPath(file.replace.pureDestFilePath());
        if (decided.contains(path))
            continue;
        decided.insert(path);
        if (isUpdatersOwn(path)) {
            report(u"Kept %1: the updater's own files stay"_s.arg(path));
            continue;
        }
        Entry removal;
        removal.deletion = path;
        removal.pulledBackSha256 =
                file.replace.hasUnzip() ? file.replace.unpackedSha256 : file.download.sha256;
        entries.append(std::move(removal));
    }
    entryCount = int(entries.size());
    return true;
}

bool ProductIniReader::readNewerFiles(QList<Entry>& files) const
{
    const QString version = QString::number(newer->manifest.version());
    QByteArray iniSha256;
    if (!WholeFile(newer->productIniPath).sha256(iniSha256) ||
        iniSha256 != newer->manifest.productIniSha256()) {
        report(u"The product ini of version %1 is not the one its manifest lists"_s.arg(version));
        return false;
    }
    QSettings ini(newer->productIniPath, QSettings::IniFormat);
    const QStringList sections = ini.childGroups();
    for (const QString& section : sections) {
        if (section == u"delete")
            continue;
        ini.beginGroup(section);
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            Entry entry = parseFileEntry(
                    section, key,
                    SettingsFile::readText(ini, key).split(u"::"_s, Qt::KeepEmptyParts));
            const QString path = section + u'/' + key;
            const ReleaseManifestFile* listed = entry.valid ? newer->manifest.file(path) : nullptr;
            if (listed == nullptr || listed->size != entry.download.size ||
                listed->isPacked() != entry.replace.hasUnzip()) {
                report(u"The release manifest of version %1 does not list %2 as its product ini "
                       u"does"_s.arg(version, path));
                return false;
            }
            entry.download.sha256 = listed->sha256;
            entry.replace.unpackedSha256 = listed->unpackedSha256;
            files.append(std::move(entry));
        }
        ini.endGroup();
    }
    return true;
}

bool ProductIniReader::parseSection(QSettings& ini, const QString& section)
{
    const bool deletions = section == u"delete";
    const QStringList keys = ini.allKeys();
    for (const QString& key : keys) {
        Entry entry;
        if (deletions) {
            entry.deletion = key;
        } else {
            const QString fields = SettingsFile::readText(ini, key);
            entry = parseFileEntry(section, key, fields.split(u"::"_s, Qt::KeepEmptyParts));
        }
        const bool safe =
                entry.valid && (!deletions || InstallationLayout::isSafeRelativePath(key));
        // Installed or deleted, such a name would take the place of the updater's own file.
        const QString installed = deletions ? key : entry.replace.pureDestFilePath();
        const QString reserved =
                safe ? InstallationLayout::reservedNameProblem(installed) : QString();
        // Releases published before the names were reserved may list a backup for deletion:
        // the updater's own files are left alone, the release is not refused for it.
        if (safe && deletions && !reserved.isEmpty()) {
            report(u"Not deleting \"%1\" that the release lists: %2"_s.arg(installed, reserved));
            continue;
        }
        if (!safe || !reserved.isEmpty()) {
            // The entries before this one count as read, as they would have one by one.
            for (qsizetype i = entries.size(); i >= 0; --i)
                advance();
            return rejectLine(section, reserved.isEmpty()
                                               ? QString()
                                               : u"\"%1\": %2"_s.arg(installed, reserved));
        }
        entries.append(std::move(entry));
    }
    return true;
}

ProductIniReader::Entry ProductIniReader::parseFileEntry(const QString& section, const QString& key,
                                                         const QStringList& fields)
{
    Entry entry;
    entry.valid = fields.size() == 2 || fields.size() == 5;
    if (!entry.valid)
        return entry;
    entry.download = {section, key, fields[0], readSize(fields[1])};
    entry.replace = {section, key, {}, 0, {}};
    if (fields.size() == 5) {
        entry.replace.unpackedMd5 = fields[2];
        entry.replace.unpackedSize = readSize(fields[3]);
        entry.replace.unpackedName = fields[4];
    }
    entry.valid = InstallationLayout::isSafeRelativePath(section) &&
                  InstallationLayout::isSafeRelativePath(key) &&
                  (!entry.replace.hasUnzip() ||
                   InstallationLayout::isSafeRelativePath(entry.replace.unpackedName));
    return entry;
}

void ProductIniReader::compareWithInstallation()
{
    // Hashing is what takes the time: one file at a time on every core, this thread among them,
    // so that no core is lost to waking a thread that only reports.
    std::vector<Comparison> outcomes(size_t(entries.size()));
    WorkPool::forEach(
            WorkPool::instance(), entries.size(), std::clamp(QThread::idealThreadCount(), 1, 4),
            [&](qsizetype i) { outcomes[size_t(i)] = compare(entries.at(i)); },
            [this](qsizetype done) { advanceTo(done); });
    advanceTo(entries.size());
    for (qsizetype i = 0; i < entries.size(); ++i)
        take(entries.at(i), outcomes[size_t(i)]);
}

ProductIniReader::Comparison ProductIniReader::compare(const Entry& entry) const
{
    if (!entry.pulledBackSha256.isEmpty())
        return comparePulledBack(entry);
    if (!entry.deletion.isEmpty())
        return {QFile::exists(installation.filePath(entry.deletion)) ? Outcome::Delete
                                                                     : Outcome::Current};
    const QString installed = installation.filePath(entry.replace.pureDestFilePath());
    const QString downloaded = session.filePath(entry.download.fileName);
    const bool packed = entry.replace.hasUnzip();
    // With a manifest, SHA-256 alone: stronger, and on these machines twice as fast as MD5.
    if (manifest != nullptr)
        return compareBySha256(entry, installed, downloaded);
    if (existsWithDigest(installed, packed ? entry.replace.unpackedMd5 : entry.download.md5))
        return {Outcome::Current};
    // Without a manifest there are no patches: nothing made by one can be trusted.
    Comparison comparison{Outcome::DownloadAndReplace};
    if (packed)
        static_cast<void>(keepsPatchResult(entry, comparison));
    if (existsWithDigest(downloaded, entry.download.md5))
        comparison.outcome = Outcome::Replace;
    return comparison;
}

ProductIniReader::Comparison ProductIniReader::compareBySha256(const Entry& entry,
                                                               const QString& installed,
                                                               const QString& downloaded) const
{
    const bool packed = entry.replace.hasUnzip();
    const QByteArray& installedTarget =
            packed ? entry.replace.unpackedSha256 : entry.download.sha256;
    QByteArray digest;
    if (QFile::exists(installed) && !WholeFile(installed).sha256(digest))
        digest.clear();
    const bool sameContent = !digest.isEmpty() && digest == installedTarget;
    if (sameContent && !lacksExecuteBit(installed, entry.replace.mode))
        return {Outcome::Current};
    // What an earlier run made with a patch, or downloaded.
    Comparison comparison{Outcome::DownloadAndReplace, digest};
    comparison.notExecutable = sameContent;
    if ((packed && keepsPatchResult(entry, comparison)) ||
        existsWithSha256(downloaded, entry.download.sha256))
        comparison = {Outcome::Replace,
                      {},
                      comparison.rejected,
                      comparison.rejectedRemoved,
                      comparison.notExecutable};
    return comparison;
}

ProductIniReader::Comparison ProductIniReader::comparePulledBack(const Entry& entry) const
{
    const QString path = installation.filePath(entry.deletion);
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return {Outcome::Current};
    // A link, or a file that a linked directory takes out of the root, was put there by hand.
    QByteArray digest;
    const bool asInstalled = !info.isSymLink() && liesBelowRoot(info) &&
                             WholeFile(path).sha256(digest) && digest == entry.pulledBackSha256;
    return {asInstalled ? Outcome::Delete : Outcome::Changed};
}

bool ProductIniReader::liesBelowRoot(const QFileInfo& file) const
{
    const QString root = QFileInfo(installation.root()).canonicalFilePath();
    const QString directory = QFileInfo(file.absolutePath()).canonicalFilePath();
    return !root.isEmpty() && (directory == root || directory.startsWith(root + u'/'));
}

bool ProductIniReader::keepsPatchResult(const Entry& entry, Comparison& comparison) const
{
    const QString made = session.filePath(entry.replace.patchedName());
    if (!QFileInfo::exists(made))
        return false;
    if (manifest != nullptr && existsWithSha256(made, entry.replace.unpackedSha256))
        return true;
    comparison.rejected = made;
    comparison.rejectedRemoved = QFile::remove(made);
    return false;
}

void ProductIniReader::take(const Entry& entry, const Comparison& comparison)
{
    if (!comparison.rejected.isEmpty()) {
        report(comparison.rejectedRemoved
                       ? u"Discarded %1: it is not the file the release lists"_s.arg(
                                 comparison.rejected)
                       : u"Could not delete '%1'"_s.arg(comparison.rejected));
        rejectedFileLeft = rejectedFileLeft || !comparison.rejectedRemoved;
    }
    if (comparison.notExecutable)
        report(u"%1 is current but not executable: installing it again"_s.arg(
                entry.replace.pureDestFilePath()));
    switch (comparison.outcome) {
    case Outcome::Delete:
        fileLists.deleteList.append(entry.deletion);
        break;
    case Outcome::DownloadAndReplace: {
        FileDownloadSpecification download = entry.download;
        download.patch = patchFor(entry, comparison.installedSha256);
        fileLists.downloadList.append(download);
        fileLists.replaceList.append(entry.replace);
        break;
    }
    case Outcome::Replace:
        fileLists.replaceList.append(entry.replace);
        break;
    case Outcome::Changed:
        report(u"Kept %1: it was changed after version %2 installed it"_s.arg(
                entry.deletion, QString::number(newer->manifest.version())));
        break;
    case Outcome::Current:
    case Outcome::Pending:
        break;
    }
}

FilePatchSpecification ProductIniReader::patchFor(const Entry& entry,
                                                  const QByteArray& installedSha256) const
{
    if (manifest == nullptr || installedSha256.isEmpty())
        return {};
    const FileDownloadSpecification& download = entry.download;
    const ReleaseManifestPatch* patch =
            manifest->patch(download.sourceDir + u'/' + download.fileName, installedSha256);
    if (patch == nullptr)
        return {};
    const FileReplaceSpecification& replace = entry.replace;
    const bool packed = replace.hasUnzip();
    return {patch->path,
            patch->sha256,
            patch->size,
            replace.pureDestFilePath(),
            packed ? replace.patchedName() : download.fileName,
            packed ? replace.unpackedSha256 : download.sha256,
            packed ? replace.unpackedSize : download.size,
            patch->method};
}

bool ProductIniReader::rejectLine(const QString& section, const QString& why)
{
    report(u"Warning: product ini contains invalid line in section %1"_s.arg(section) +
           (why.isEmpty() ? QString() : u": "_s + why));
    return false;
}

void ProductIniReader::advance()
{
    ++entriesDone;
    // A report crosses threads: one per whole percent is smooth enough and costs little.
    const bool nextPercent = entriesDone * 100 / entryCount != (entriesDone - 1) * 100 / entryCount;
    if (emitProgress && (nextPercent || entriesDone == entryCount))
        emitProgress(qreal(entriesDone) / entryCount);
}

void ProductIniReader::advanceTo(qsizetype entriesCompared)
{
    while (entriesDone < entriesCompared)
        advance();
}

void ProductIniReader::report(const QString& message) const
{
    if (emitMessage)
        emitMessage(message);
}
