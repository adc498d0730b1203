#pragma once

#include "releasetoolcommandline.h"
#include "releasetoolmanifestwriter.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

struct FileSpecifications;

// Adds the signed manifest to a version that a mirror tree holds already, once every file of it
// matches its product ini. Writes nothing unless all of them do.
class ReleaseToolManifestAdder
{
public:
    explicit ReleaseToolManifestAdder(ReleaseToolOptions options);

    [[nodiscard]] bool run();

    [[nodiscard]] const QString& errorString() const { return error; }
    [[nodiscard]] const QStringList& warnings() const { return warningLines; }
    // Which version got its manifest, and how much was checked.
    [[nodiscard]] QStringList summary() const;

private:
    [[nodiscard]] bool checkVersion();
    [[nodiscard]] bool readProductIni(QByteArray& text, FileSpecifications& lists);
    [[nodiscard]] bool readChangelog();
    [[nodiscard]] bool fail(const QString& text);

    ReleaseToolOptions options;
    ReleaseToolManifestWriter writer;
    QString versionDir;
    qsizetype fileCount = 0;
    qint64 fileBytes = 0;
    QString error;
    QStringList warningLines;
};
