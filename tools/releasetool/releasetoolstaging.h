#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

// The directory a version is built in: hidden next to where it is published, so that the version
// appears there complete in one rename or not at all. Removed unless it was published.
class ReleaseToolStaging
{
public:
    ReleaseToolStaging(QString mirrorRoot, QString versionName);

    // Refuses an existing version unless replace is set.
    [[nodiscard]] bool create(bool replace);
    // Flushes the tree to the disk and renames it into place; with replace an existing version
    // is swapped out in the same step and removed.
    [[nodiscard]] bool publish(bool replace);

    [[nodiscard]] QString path() const;
    [[nodiscard]] QString targetPath() const;
    [[nodiscard]] const QString& errorString() const { return error; }

private:
    [[nodiscard]] bool exchange();
    [[nodiscard]] bool renameNew();
    [[nodiscard]] bool fail(const QString& text);

    QString mirrorRoot;
    QString versionName;
    std::unique_ptr<QTemporaryDir> staging;
    QString error;
};
