#include "releasetoolmanifestadder.h"

#include "filespecifications.h"
#include "releasetoolmirrorcheck.h"
#include "releasetoolnames.h"
#include "releasetoolproductini.h"
#include "releasetoolsigner.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

ReleaseToolManifestAdder::ReleaseToolManifestAdder(ReleaseToolOptions options)
    : options(std::move(options))
    , writer(this->options.clientType, this->options.clientVersion)
    , versionDir(this->options.mirrorRoot + u'/' + QString::number(this->options.clientVersion))
{}

bool ReleaseToolManifestAdder::run()
{
    // Everything is checked before the first byte is written.
    if (!writer.loadKey(options.manifestKey))
        return fail(writer.errorString());
    QByteArray iniText;
    FileSpecifications lists;
    QList<ReleaseManifestFile> files;
    if (!checkVersion() || !readProductIni(iniText, lists) || !readChangelog())
        return false;
    ReleaseToolMirrorCheck check(versionDir, options.jobs);
    if (!check.check(lists, files))
        return fail(check.errorString());
    if (!writer.write(versionDir, iniText, files))
        return fail(writer.errorString());
    warningLines += writer.warnings();
    fileCount = files.size();
    for (const ReleaseManifestFile& file : std::as_const(files))
        fileBytes += file.size;
    return true;
}

bool ReleaseToolManifestAdder::checkVersion()
{
    if (!QFileInfo(versionDir).isDir())
        return fail(
                u"version %1 not found in %2"_s.arg(QString::number(options.clientVersion),
                                                    ReleaseToolNames::display(options.mirrorRoot)));
    const QFileInfo manifest(versionDir + u'/' + ReleaseManifest::fileName(options.clientType));
    if (!options.replace && (manifest.exists() || manifest.isSymLink()))
        return fail(u"%1 exists; give --replace to replace it"_s.arg(
                ReleaseToolNames::display(manifest.filePath())));
    return true;
}

// The manifest vouches for the product ini by its bytes: the very ones the updater reads here.
bool ReleaseToolManifestAdder::readProductIni(QByteArray& text, FileSpecifications& lists)
{
    const QString iniPath = versionDir + u'/' + options.clientType + u".ini"_s;
    ReleaseToolProductIni ini(iniPath, options.clientType);
    if (!ini.read(text) || !ini.readAsUpdater(text, {}, lists))
        return fail(ini.errorString());
    if (!ReleaseToolSigner::builtInKeyAccepts(iniPath))
        warningLines.append(ReleaseToolSigner::builtInKeyRejects.toString());
    return true;
}

// A change log on the mirror is listed as it lies there.
bool ReleaseToolManifestAdder::readChangelog()
{
    const QString path = versionDir + u'/' + ReleaseToolManifest::changelogName.toString();
    QByteArray content;
    return !QFileInfo::exists(path) || writer.readChangelog(path, content) ||
           fail(writer.errorString());
}

QStringList ReleaseToolManifestAdder::summary() const
{
    return {u"wrote the manifest of %1 version %2 in %3"_s.arg(
                    options.clientType, QString::number(options.clientVersion),
                    QDir::cleanPath(QFileInfo(versionDir).absoluteFilePath())),
            u"files checked: %1, bytes: %2"_s.arg(QString::number(fileCount),
                                                  QString::number(fileBytes))};
}

bool ReleaseToolManifestAdder::fail(const QString& text)
{
    error = text;
    return false;
}
