#pragma once

#include "releasemanifest.h"
#include "releasetoolmanifest.h"
#include "releasetoolsignedfile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Writes "<type>.manifest" beside the product ini of a version and signs it with the Ed25519
// manifest key into "<type>.manifest.sig", which updaters built with a manifest key demand.
class ReleaseToolManifestWriter
{
public:
    ReleaseToolManifestWriter(QString clientType, qint32 clientVersion);

    // Reads the private key (PKCS #8 PEM) and makes sure that it signs.
    [[nodiscard]] bool loadKey(const QString& privateKeyFile);
    // The manifest of the version in versionDir, released now: the product ini as it lies there,
    // whose bytes are productIni, the files as the mirrors serve them and the patches to them.
    // The manifest appears only once its signature is in place; an existing one is overwritten.
    [[nodiscard]] bool write(const QString& versionDir, const QByteArray& productIni,
                             QList<ReleaseManifestFile> files,
                             QList<ReleaseManifestPatch> patches = {});

    // Reads the version's change log into content and lists it with its digest and size, so that
    // updaters show only that text; one larger than updaters show is refused.
    [[nodiscard]] bool readChangelog(const QString& path, QByteArray& content);

    // The file as the updater requests it below the version's directory.
    [[nodiscard]] static ReleaseManifestFile fileOf(const ReleaseToolEntry& entry);

    [[nodiscard]] const QStringList& warnings() const { return warningLines; }
    [[nodiscard]] const QString& errorString() const { return error; }

private:
    [[nodiscard]] bool build(const QByteArray& productIni, QList<ReleaseManifestFile> files,
                             QList<ReleaseManifestPatch> patches, QByteArray& text);
    void checkBuiltInKey(const QByteArray& text, const QByteArray& signature);
    [[nodiscard]] bool fail(const QString& text);

    ReleaseToolSignedFile signedFile;
    QString clientType;
    qint32 clientVersion;
    QByteArray changelogSha256;
    qint64 changelogSize = 0;
    QStringList warningLines;
    QString error;
};
