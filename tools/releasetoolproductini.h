#pragma once

#include "releasetoolmanifest.h"

#include <QList>
#include <QString>
#include <QStringList>

// Writes the product ini of a release and makes sure that the updater reads it as meant.
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

    [[nodiscard]] static QString valueOf(const ReleaseToolEntry& entry);
    [[nodiscard]] const QString& errorString() const { return error; }

private:
    [[nodiscard]] bool fail(const QString& text);

    QString path;
    QString clientType;
    QString error;
};
