#pragma once

#include "releasetoolmanifest.h"

#include <QList>
#include <QString>

// Puts the files of a release into its version directory, at "<section>/<key>", copied or
// gzip-compressed, and computes the digests the product ini carries. Each file is read once;
// several files are written at the same time.
class ReleaseToolFileWriter
{
public:
    // threads: how many files are written at once; 0 means one per processor core.
    ReleaseToolFileWriter(QString versionDir, int threads);

    // Writes every entry and fills in its digests. Stops at the first failure.
    [[nodiscard]] bool writeAll(QList<ReleaseToolEntry>& entries);
    [[nodiscard]] const QString& errorString() const { return error; }

private:
    [[nodiscard]] bool makeDirectories(const QList<ReleaseToolEntry>& entries);
    // Returns why the entry could not be written, or an empty text.
    [[nodiscard]] QString write(ReleaseToolEntry& entry) const;
    [[nodiscard]] QString targetPath(const ReleaseToolEntry& entry) const;

    QString versionDir;
    int threads;
    QString error;
};
