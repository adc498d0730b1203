#include "releasetoolmanifest.h"

#include "installationlayout.h"
#include "releasemanifest.h"
#include "releasetoolnames.h"

#include <QSet>

using namespace Qt::StringLiterals;

namespace {

// Every directory a relative path needs: "a/b/c" needs "a" and "a/b".
QStringList parentsOf(const QString& path)
{
    QStringList parents;
    for (qsizetype slash = path.indexOf(u'/'); slash > 0; slash = path.indexOf(u'/', slash + 1))
        parents.append(path.left(slash));
    return parents;
}

QSet<QString> parentsOfAll(const QStringList& paths)
{
    QSet<QString> parents;
    for (const QString& path : paths) {
        for (const QString& parent : parentsOf(path))
            parents.insert(parent);
    }
    return parents;
}

// What an installation needs to update at all: deleting them would leave it stranded.
const QStringList keptFiles{u"update"_s, u"mirrors.ini"_s};

QString changesKindProblem(const QString& path)
{
    return u"%1 is a file in one version and a directory in the other; updaters cannot install "
           u"that change"_s.arg(ReleaseToolNames::display(path));
}

} // namespace

ReleaseToolManifest::ReleaseToolManifest(QString clientType, const QStringList& compressPatterns,
                                         qint64 compressMinSize)
    : clientType(std::move(clientType))
    , compressMinSize(compressMinSize)
{
    for (const QString& pattern : compressPatterns) {
        const QRegularExpression expression(
                QRegularExpression::wildcardToRegularExpression(pattern));
        (pattern.contains(u'/') ? pathPatterns : namePatterns).append(expression);
    }
}

bool ReleaseToolManifest::addFiles(const QList<ReleaseToolSourceFile>& files)
{
    for (const ReleaseToolSourceFile& file : files) {
        ReleaseToolEntry entry;
        entry.sourcePath = file.absolutePath;
        entry.installedPath = file.relativePath;
        entry.section = sectionFor(file.relativePath);
        entry.compressed = shouldCompress(file);
        entry.executable = file.executable;
        entry.key = entry.compressed ? file.relativePath + u".gz"_s : file.relativePath;
        if (!checkEntry(entry))
            return false;
        releaseEntries.append(entry);
    }
    return checkCompressedNames();
}

bool ReleaseToolManifest::setPreviousPaths(const QStringList& previousPaths)
{
    QStringList installed;
    for (const ReleaseToolEntry& entry : std::as_const(releaseEntries))
        installed.append(entry.installedPath);
    const QSet<QString> installedSet(installed.cbegin(), installed.cend());
    const QSet<QString> installedParents = parentsOfAll(installed);

    QSet<QString> deleted;
    for (const QString& path : previousPaths) {
        if (installedSet.contains(path))
            continue;
        const QString problem = ReleaseToolNames::pathProblem(path);
        if (!problem.isEmpty())
            return fail(u"the previous version lists %1: %2"_s.arg(ReleaseToolNames::display(path),
                                                                   problem));
        // The updater makes directories where files were, and the other way round, only by
        // failing and rolling the whole update back.
        if (installedParents.contains(path))
            return fail(changesKindProblem(path));
        for (const QString& parent : parentsOf(path)) {
            if (installedSet.contains(parent))
                return fail(changesKindProblem(parent));
        }
        // Updaters refuse a release that deletes them.
        if (const QString reserved = InstallationLayout::reservedNameProblem(path);
            !reserved.isEmpty()) {
            warningLines.append(
                    u"the previous version had %1, which updaters do not delete: %2"_s.arg(
                            ReleaseToolNames::display(path), reserved));
            continue;
        }
        if (keptFiles.contains(path)) {
            warningLines.append(u"the previous version had %1, which this one lacks; updaters "
                                u"keep it, as they need it"_s.arg(ReleaseToolNames::display(path)));
            continue;
        }
        deleted.insert(path);
    }
    deletedPaths = QStringList(deleted.cbegin(), deleted.cend());
    deletedPaths.sort();
    return true;
}

QString ReleaseToolManifest::sectionFor(const QString& installedPath) const
{
    const qsizetype slash = installedPath.indexOf(u'/');
    if (slash < 0)
        return topLevelSection.toString();
    const QString folder = installedPath.left(slash);
    // The section "delete" means something else to the updater; the other names are files of
    // the version directory.
    const QStringList taken{u"delete"_s,
                            clientType + u".ini"_s,
                            clientType + u".ini.sig"_s,
                            ReleaseManifest::fileName(clientType),
                            ReleaseManifest::signatureFileName(clientType),
                            changelogName.toString()};
    if (taken.contains(folder))
        return topLevelSection.toString();
    return folder;
}

bool ReleaseToolManifest::shouldCompress(const ReleaseToolSourceFile& file) const
{
    if (compressMinSize >= 0 && file.size >= compressMinSize)
        return true;
    const QString name = file.relativePath.section(u'/', -1);
    const auto matches = [](const QList<QRegularExpression>& patterns, const QString& text) {
        return std::any_of(patterns.cbegin(), patterns.cend(),
                           [&text](const auto& pattern) { return pattern.match(text).hasMatch(); });
    };
    return matches(namePatterns, name) || matches(pathPatterns, file.relativePath);
}

bool ReleaseToolManifest::checkEntry(const ReleaseToolEntry& entry)
{
    QString problem = ReleaseToolNames::installedNameProblem(entry.installedPath);
    if (problem.isEmpty())
        problem = ReleaseToolNames::mirrorNameProblem(entry.key);
    if (problem.isEmpty() && entry.compressed)
        problem = ReleaseToolNames::unpackedNameProblem(entry.installedPath);
    if (problem.isEmpty())
        return true;
    return fail(u"cannot publish %1: %2"_s.arg(ReleaseToolNames::display(entry.installedPath),
                                               problem));
}

// A compressed copy lies in the temporary directory under its key, beside the other files'
// keys; it must not take another file's name or a directory another file needs.
bool ReleaseToolManifest::checkCompressedNames()
{
    QStringList keys;
    for (const ReleaseToolEntry& entry : std::as_const(releaseEntries))
        keys.append(entry.key);
    const QSet<QString> parents = parentsOfAll(keys);
    QHash<QString, qsizetype> keyCount;
    for (const QString& key : std::as_const(keys))
        ++keyCount[key];

    for (const ReleaseToolEntry& entry : std::as_const(releaseEntries)) {
        if (entry.compressed && (keyCount.value(entry.key) > 1 || parents.contains(entry.key)))
            return fail(u"cannot compress %1: its compressed name %2 is taken by another file of "
                        u"the version"_s.arg(ReleaseToolNames::display(entry.installedPath),
                                             ReleaseToolNames::display(entry.key)));
    }
    return true;
}

bool ReleaseToolManifest::fail(const QString& text)
{
    error = text;
    return false;
}
