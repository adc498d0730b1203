#pragma once

#include "releasetoolcommandline.h"
#include "releasetooldeltamaker.h"
#include "releasetoolmanifest.h"
#include "releasetoolmanifestwriter.h"
#include "releasetoolsigner.h"
#include "releasetoolstaging.h"

#include <QString>
#include <QStringList>

// Publishes one client version into a mirror tree: the files below "<version>/<section>/<key>",
// the product ini "<version>/<type>.ini" with its signature, the manifest
// "<version>/<type>.manifest" with its signature, "<version>/changelog_client.txt" and the patches
// from earlier releases below "<version>/patches". The version directory appears complete or not
// at all.
class ReleaseTool
{
public:
    explicit ReleaseTool(ReleaseToolOptions options);

    [[nodiscard]] bool run();

    [[nodiscard]] const QString& errorString() const { return error; }
    // Things that do not stop the release but that its publisher should know.
    [[nodiscard]] const QStringList& warnings() const { return warningLines; }
    // What was published: files, bytes, compressed bytes, the manifest, what the patches save.
    [[nodiscard]] QStringList summary() const;

private:
    [[nodiscard]] bool loadKey();
    [[nodiscard]] bool loadManifestKey();
    [[nodiscard]] bool scanClientFiles();
    [[nodiscard]] bool scanPreviousVersion();
    [[nodiscard]] bool checkChangelog();
    [[nodiscard]] bool loadEarlierReleases();
    [[nodiscard]] bool writeFiles();
    [[nodiscard]] bool makeDeltas();
    [[nodiscard]] bool writeProductIni();
    [[nodiscard]] bool writeManifest();
    [[nodiscard]] bool copyChangelog();
    void checkMirrorList();
    [[nodiscard]] QString versionPath(const QString& name) const;
    [[nodiscard]] bool fail(const QString& text);

    ReleaseToolOptions options;
    ReleaseToolSigner signer;
    ReleaseToolManifest manifest;
    ReleaseToolManifestWriter manifestWriter;
    ReleaseToolStaging staging;
    ReleaseToolDeltaMaker deltas;
    QByteArray changelog; // the change log as it is published and listed
    QString error;
    QStringList warningLines;
};
