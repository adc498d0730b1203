#include "releasetoolmanifestwriter.h"

#include "ed25519.h"
#include "releasetoolnames.h"
#include "sha256.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <tuple>
#include <utility>

using namespace Qt::StringLiterals;

ReleaseToolManifestWriter::ReleaseToolManifestWriter(QString clientType, qint32 clientVersion)
    : signedFile(u"manifest key"_s, u"manifest"_s)
    , clientType(std::move(clientType))
    , clientVersion(clientVersion)
{}

bool ReleaseToolManifestWriter::loadKey(const QString& privateKeyFile)
{
    return signedFile.loadKey(privateKeyFile) || fail(signedFile.errorString());
}

bool ReleaseToolManifestWriter::readChangelog(const QString& path, QByteArray& content)
{
    const QString shown = ReleaseToolNames::display(path);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        content = file.read(ReleaseManifest::maxChangelogSize + 1);
    if (!file.isOpen() || file.error() != QFile::NoError)
        return fail(u"cannot read the change log %1: %2"_s.arg(shown, file.errorString()));
    if (content.size() > ReleaseManifest::maxChangelogSize)
        return fail(u"the change log %1 is larger than the %2 bytes updaters show"_s.arg(
                shown, QString::number(ReleaseManifest::maxChangelogSize)));
    changelogSha256 = Sha256::hexOf(content);
    changelogSize = content.size();
    return true;
}

ReleaseManifestFile ReleaseToolManifestWriter::fileOf(const ReleaseToolEntry& entry)
{
    ReleaseManifestFile file{entry.section + u'/' + entry.key,
                             entry.stored.sha256,
                             entry.stored.size,
                             {},
                             0,
                             entry.executable ? FileMode::Executable : FileMode::Plain};
    if (entry.compressed) {
        file.unpackedSha256 = entry.unpacked.sha256;
        file.unpackedSize = entry.unpacked.size;
    }
    return file;
}

bool ReleaseToolManifestWriter::write(const QString& versionDir, const QByteArray& productIni,
                                      QList<ReleaseManifestFile> files,
                                      QList<ReleaseManifestPatch> patches)
{
    QByteArray text;
    if (!build(productIni, std::move(files), std::move(patches), text))
        return false;
    QByteArray signature;
    if (!signedFile.sign(text, signature) ||
        !signedFile.store(versionDir + u'/' + ReleaseManifest::fileName(clientType), text,
                          signature))
        return fail(signedFile.errorString());
    checkBuiltInKey(text, signature);
    return true;
}

bool ReleaseToolManifestWriter::build(const QByteArray& productIni,
                                      QList<ReleaseManifestFile> files,
                                      QList<ReleaseManifestPatch> patches, QByteArray& text)
{
    ReleaseManifest manifest;
    manifest.setClientType(clientType);
    manifest.setVersion(clientVersion);
    manifest.setReleased(QDateTime::currentDateTimeUtc());
    manifest.setProductIni(Sha256::hexOf(productIni), productIni.size());
    if (!changelogSha256.isEmpty())
        manifest.setChangelog(changelogSha256, changelogSize);
    // In path order, so that the same files give the same records however they were found.
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.path < b.path; });
    for (const ReleaseManifestFile& file : std::as_const(files)) {
        if (!manifest.addFile(file))
            return fail(u"the manifest would list %1 twice"_s.arg(
                    ReleaseToolNames::display(file.path)));
    }
    std::sort(patches.begin(), patches.end(), [](const auto& a, const auto& b) {
        return std::tie(a.target, a.sourceSha256) < std::tie(b.target, b.sourceSha256);
    });
    for (const ReleaseManifestPatch& patch : std::as_const(patches)) {
        if (!manifest.addPatch(patch))
            return fail(u"the manifest would not list the patch %1 (%2)"_s.arg(
                    ReleaseToolNames::display(patch.path), manifest.errorString()));
    }
    text = manifest.toText();
    // The updater's own rules decide: what it would refuse or read otherwise is not published.
    ReleaseManifest read;
    if (!read.parse(text))
        return fail(u"the updater would reject the manifest (%1)"_s.arg(read.errorString()));
    if (read != manifest)
        return fail(u"the updater would read the manifest otherwise than it is meant"_s);
    return true;
}

void ReleaseToolManifestWriter::checkBuiltInKey(const QByteArray& text, const QByteArray& signature)
{
    // An updater built without a manifest key checks no manifest.
    const QByteArrayView builtIn = Ed25519::builtInKey();
    if (!builtIn.isEmpty() && Ed25519::verify(builtIn, text, signature).failed())
        warningLines.append(u"the manifest key built into this updater build does not accept the "
                            u"manifest's signature; its updaters reject this version"_s);
}

bool ReleaseToolManifestWriter::fail(const QString& text)
{
    error = text;
    return false;
}
