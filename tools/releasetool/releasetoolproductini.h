#pragma once

#include "filespecifications.h"
#include "releasetoolmanifest.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Writes the product ini of a release and makes sure that the updater reads it as meant; reads
// the one of a published version as the updater does.
class ReleaseToolProductIni
{
public:
    ReleaseToolProductIni(QString path, QString clientType);

    // One section per mirror directory, one "md5::size" entry per file ("md5::size::
    // unpackedMd5::unpackedSize::installedPath" for a compressed one) and the section "delete".
    [[nodiscard]] bool write(const QList<ReleaseToolEntry>& entries, const QStringList& deletes);
    // Runs the updater's own list building on the written file, for an installation that holds
    // just the files to delete, and compares its lists with the release.
    [[nodiscard]] bool checkUpdaterReading(const QList<ReleaseToolEntry>& entries,
                                           const QStringList& deletes);
    // The file as it lies on the disk.
    [[nodiscard]] bool read(QByteArray& text);
    // The lists the updater builds from text, the content of the file, for an installation that
    // holds just the files installed: with none, every file is downloaded and installed.
    [[nodiscard]] bool readAsUpdater(const QByteArray& text, const QStringList& installed,
                                     FileSpecifications& lists);

    [[nodiscard]] static QString valueOf(const ReleaseToolEntry& entry);
    [[nodiscard]] const QString& errorString() const { return error; }

private:
    [[nodiscard]] bool fail(const QString& text);

    QString path;
    QString clientType;
    QString error;
};
