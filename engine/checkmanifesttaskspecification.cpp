#include "checkmanifesttaskspecification.h"

#include "downloadtaskspecification.h"
#include "ed25519.h"
#include "releasemanifest.h"
#include "sha256.h"
#include "wholefile.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

// The file whole, if it is not larger than maxSize; else empty with error set.
bool readSmallFile(const QString& path, qint64 maxSize, QByteArray& data, QString& error)
{
    if (QFileInfo(path).size() > maxSize) {
        error = u"%1 is larger than %2 bytes"_s.arg(path, QString::number(maxSize));
        return false;
    }
    WholeFile file(path);
    if (file.readAll(data))
        return true;
    error = file.errorString();
    return false;
}

} // namespace

CheckManifestTaskSpecification::CheckManifestTaskSpecification(Expected expected, QObject* parent,
                                                               double parentProgressRange)
    : ASyncTaskOf<ReleaseManifest>(parent, parentProgressRange)
    , expected(std::move(expected))
{}

std::unique_ptr<ASyncFunc> CheckManifestTaskSpecification::createFunction()
{
    return std::make_unique<CheckManifestFunc>(expected);
}

CheckManifestFunc::CheckManifestFunc(CheckManifestTaskSpecification::Expected expected)
    : expected(std::move(expected))
{}

Result<ReleaseManifest> CheckManifestFunc::run()
{
    ReleaseManifest manifest;
    const QString failed = failedCheck(manifest);
    if (failed.isEmpty())
        return manifest;
    const QString text = u"Release manifest check failed: %1"_s.arg(failed);
    emit message(text);
    return Failure{Failure::Kind::Verification, text};
}

QString CheckManifestFunc::failedCheck(ReleaseManifest& manifest) const
{
    QString error;
    QByteArray text;
    QByteArray signature;
    QByteArray ini;
    if (!readSmallFile(expected.manifestFile, ReleaseManifest::maxSize, text, error) ||
        !readSmallFile(expected.manifestFile + u".sig"_s, Ed25519::signatureSize, signature,
                       error) ||
        !readSmallFile(expected.iniFile, DownloadTaskSpecification::maxProductIniSize, ini, error))
        return error;
    // Nothing of an unsigned text is read: the parser sees only what the vendor signed.
    if (Failure checked = Ed25519::verify(expected.publicKey, text, signature); checked.failed())
        return checked.text;
    if (!manifest.parse(text))
        return manifest.errorString();
    if (manifest.clientType() != expected.clientType)
        return u"it describes client type %1, not %2"_s.arg(manifest.clientType(),
                                                            expected.clientType);
    if (manifest.version() != expected.version)
        return u"it describes version %1, not %2"_s.arg(QString::number(manifest.version()),
                                                        QString::number(expected.version));
    const QByteArray iniSha256 = Sha256::hexOf(ini);
    if (iniSha256 != manifest.productIniSha256() || ini.size() != manifest.productIniSize())
        return u"the product ini has SHA-256 %1 and %2 bytes, the manifest lists %3 and %4 bytes"_s
                .arg(QString::fromLatin1(iniSha256), QString::number(ini.size()),
                     QString::fromLatin1(manifest.productIniSha256()),
                     QString::number(manifest.productIniSize()));
    return {};
}
