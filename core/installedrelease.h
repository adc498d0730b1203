#pragma once

#include "installationlayout.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

// What "update.ini" records of the installed client (group "installed"), written after every
// successful run, and the newest version a signed channel statement has named for each channel
// (group "confirmed"), and when the newest statement accepted was signed (group "statement"). They
// keep an update server or a mirror from taking an installation back to an older version, or to
// an older statement: neither can make the updater forget them.
struct InstalledRelease
{
    int version = 0;    // 0: nothing recorded, as in installations from before the record
    QString channel;    // "stable", "beta" or "alpha"
    QDateTime released; // the manifest's release time; invalid without a manifest

    [[nodiscard]] bool isRecorded() const { return version > 0; }

    // The record of the installation's "update.ini"; not recorded when the group is missing or
    // unreadable.
    [[nodiscard]] static InstalledRelease read(const InstallationLayout& installation);
    // False when the record did not reach the file.
    [[nodiscard]] bool write(const InstallationLayout& installation) const;

    // The newest version a signed channel statement named for channel; 0 when none did.
    [[nodiscard]] static int confirmedVersion(const InstallationLayout& installation,
                                              const QString& channel);
    [[nodiscard]] static bool writeConfirmedVersion(const InstallationLayout& installation,
                                                    const QString& channel, int version);
    // When the newest statement accepted was signed; invalid when none was.
    [[nodiscard]] static QDateTime confirmedStatementTime(const InstallationLayout& installation);
    [[nodiscard]] static bool writeConfirmedStatementTime(const InstallationLayout& installation,
                                                          const QDateTime& signedAt);

private:
    [[nodiscard]] static bool writeValue(const InstallationLayout& installation,
                                         const QString& group, const QString& key,
                                         const QVariant& value);
};
