#include "releasetool.h"

#include "mirrorsini.h"
#include "releasetoolfilewriter.h"
#include "releasetoolnames.h"
#include "releasetoolproductini.h"
#include "releasetoolscanner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

using namespace Qt::StringLiterals;

namespace {

const QString mirrorListName = MirrorsIni::fileName();

// Where a path lies once symbolic links are resolved, as far as it exists yet.
QString resolvedPath(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

bool isInside(const QString& path, const QString& directory)
{
    const QString inner = resolvedPath(path);
    const QString outer = resolvedPath(directory);
    return inner == outer || inner.startsWith(outer + u'/');
}

// The mirrors a "mirrors.ini" gives the updater: named entries of the "mirrors" array with a url.
int usableMirrors(const QString& fileName)
{
    QSettings settings(fileName, QSettings::IniFormat);
    return int(MirrorsIni::urls(settings).size());
}

} // namespace

ReleaseTool::ReleaseTool(ReleaseToolOptions options)
    : options(std::move(options))
    , manifest(this->options.clientType, this->options.compressPatterns,
               this->options.compressMinSize)
    , manifestWriter(this->options.clientType, this->options.clientVersion)
    , staging(this->options.mirrorRoot, QString::number(this->options.clientVersion))
    , deltas(this->options.mirrorRoot, this->options.clientType, this->options.jobs)
{}

bool ReleaseTool::run()
{
    // Everything that can be checked is checked before the first byte is written.
    if (!loadKey() || !loadManifestKey() || !scanClientFiles() || !scanPreviousVersion() ||
        !checkChangelog() || !loadEarlierReleases())
        return false;
    checkMirrorList();
    if (!staging.create(options.replace))
        return fail(staging.errorString());
    if (!writeFiles() || !makeDeltas() || !writeProductIni() || !writeManifest() ||
        !copyChangelog())
        return false;
    if (!staging.publish(options.replace))
        return fail(staging.errorString());
    return true;
}

bool ReleaseTool::loadKey()
{
    return signer.loadKey(options.privateKey) || fail(signer.errorString());
}

bool ReleaseTool::loadManifestKey()
{
    if (!options.manifestKey.isEmpty())
        return manifestWriter.loadKey(options.manifestKey) || fail(manifestWriter.errorString());
    warningLines.append(u"no manifest key given (--manifest-key); updaters built with a manifest "
                        u"key reject this version"_s);
    return true;
}

bool ReleaseTool::scanClientFiles()
{
    if (isInside(options.mirrorRoot, options.clientDir))
        return fail(u"the mirror root %1 lies inside the client directory %2"_s.arg(
                ReleaseToolNames::display(options.mirrorRoot),
                ReleaseToolNames::display(options.clientDir)));
    ReleaseToolScanner scanner;
    QList<ReleaseToolSourceFile> files;
    if (!scanner.scanDirectory(options.clientDir, files))
        return fail(scanner.errorString());
    return manifest.addFiles(files) || fail(manifest.errorString());
}

bool ReleaseTool::scanPreviousVersion()
{
    ReleaseToolScanner scanner;
    QStringList previousPaths;
    if (!options.previousDir.isEmpty()) {
        QList<ReleaseToolSourceFile> files;
        if (!scanner.scanDirectory(options.previousDir, files))
            return fail(u"previous version: %1"_s.arg(scanner.errorString()));
        for (const ReleaseToolSourceFile& file : std::as_const(files))
            previousPaths.append(file.relativePath);
    }
    if (!options.previousIni.isEmpty()) {
        QStringList iniPaths;
        if (!scanner.scanProductIni(options.previousIni, iniPaths))
            return fail(scanner.errorString());
        previousPaths += iniPaths;
    }
    if (!manifest.setPreviousPaths(previousPaths))
        return fail(manifest.errorString());
    warningLines += manifest.warnings();
    return true;
}

bool ReleaseTool::checkChangelog()
{
    if (options.changelog.isEmpty()) {
        warningLines.append(
                u"no change log given (--changelog); updaters show none for this version"_s);
        return true;
    }
    // Read once: what is published is exactly what the manifest lists.
    return manifestWriter.readChangelog(options.changelog, changelog) ||
           fail(manifestWriter.errorString());
}

bool ReleaseTool::loadEarlierReleases()
{
    return deltas.load(options.deltaFrom) || fail(deltas.errorString());
}

void ReleaseTool::checkMirrorList()
{
    for (const ReleaseToolEntry& entry : manifest.entries()) {
        if (entry.installedPath == mirrorListName && usableMirrors(entry.sourcePath) == 0)
            warningLines.append(u"the version's mirrors.ini names no mirror with a url; "
                                u"installations of it cannot update any more"_s);
    }
}

bool ReleaseTool::writeFiles()
{
    ReleaseToolFileWriter writer(staging.path(), options.jobs);
    return writer.writeAll(manifest.entries()) || fail(writer.errorString());
}

// After the files, whose digests the patches are checked against.
bool ReleaseTool::makeDeltas()
{
    return deltas.make(manifest.entries(), staging.path()) || fail(deltas.errorString());
}

bool ReleaseTool::writeProductIni()
{
    const QString iniPath = versionPath(options.clientType + u".ini"_s);
    ReleaseToolProductIni ini(iniPath, options.clientType);
    if (!ini.write(manifest.entries(), manifest.deletes()) ||
        !ini.checkUpdaterReading(manifest.entries(), manifest.deletes()))
        return fail(ini.errorString());
    if (!signer.signFile(iniPath))
        return fail(signer.errorString());
    if (!ReleaseToolSigner::builtInKeyAccepts(iniPath))
        warningLines.append(ReleaseToolSigner::builtInKeyRejects.toString());
    return true;
}

bool ReleaseTool::writeManifest()
{
    if (options.manifestKey.isEmpty())
        return true;
    ReleaseToolProductIni ini(versionPath(options.clientType + u".ini"_s), options.clientType);
    QByteArray iniText;
    if (!ini.read(iniText))
        return fail(ini.errorString());
    QList<ReleaseManifestFile> files;
    for (const ReleaseToolEntry& entry : manifest.entries())
        files.append(ReleaseToolManifestWriter::fileOf(entry));
    if (!manifestWriter.write(staging.path(), iniText, files, deltas.patches()))
        return fail(manifestWriter.errorString());
    warningLines += manifestWriter.warnings();
    return true;
}

bool ReleaseTool::copyChangelog()
{
    if (options.changelog.isEmpty())
        return true;
    QFile file(versionPath(ReleaseToolManifest::changelogName.toString()));
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::NewOnly) &&
                         file.write(changelog) == changelog.size() && file.flush();
    return written || fail(u"cannot copy the change log %1: %2"_s.arg(
                              ReleaseToolNames::display(options.changelog), file.errorString()));
}

QStringList ReleaseTool::summary() const
{
    qint64 installedBytes = 0;
    qint64 storedBytes = 0;
    qint64 compressedFiles = 0;
    qint64 compressedBefore = 0;
    qint64 compressedAfter = 0;
    for (const ReleaseToolEntry& entry : manifest.entries()) {
        storedBytes += entry.stored.size;
        if (entry.compressed) {
            ++compressedFiles;
            installedBytes += entry.unpacked.size;
            compressedBefore += entry.unpacked.size;
            compressedAfter += entry.stored.size;
        } else {
            installedBytes += entry.stored.size;
        }
    }
    QStringList lines{
            u"published %1 version %2 in %3"_s.arg(
                    options.clientType, QString::number(options.clientVersion),
                    QDir::cleanPath(QFileInfo(staging.targetPath()).absoluteFilePath())),
            u"files: %1, compressed: %2, deleted: %3"_s.arg(
                    QString::number(manifest.entries().size()), QString::number(compressedFiles),
                    QString::number(manifest.deletes().size())),
            u"bytes: %1, on the mirrors: %2, compressed: %3 -> %4"_s.arg(
                    QString::number(installedBytes), QString::number(storedBytes),
                    QString::number(compressedBefore), QString::number(compressedAfter)),
            u"manifest: %1"_s.arg(options.manifestKey.isEmpty()
                                          ? u"none"_s
                                          : ReleaseManifest::fileName(options.clientType))};
    if (!options.deltaFrom.isEmpty())
        lines += deltas.summary();
    return lines;
}

QString ReleaseTool::versionPath(const QString& name) const
{
    return staging.path() + u'/' + name;
}

bool ReleaseTool::fail(const QString& text)
{
    error = text;
    return false;
}
