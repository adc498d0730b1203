#pragma once

#include "filespecifications.h"
#include "releasemanifest.h"

#include <QList>
#include <QString>

// Checks the files of a published version against what its product ini tells the updater: each
// file as the mirrors serve it and, for a compressed one, as the updater unpacks it. Takes the
// digests the manifest carries on the way, reading each file once; several files are read at
// the same time.
class ReleaseToolMirrorCheck
{
public:
    // threads: how many files are read at once; 0 means one per processor core.
    ReleaseToolMirrorCheck(QString versionDir, int threads);

    // lists: as the updater builds them from the product ini for an empty installation. Stops
    // at the first file that is missing or differs.
    [[nodiscard]] bool check(const FileSpecifications& lists, QList<ReleaseManifestFile>& files);
    [[nodiscard]] const QString& errorString() const { return error; }

private:
    // Returns why the file does not match, or an empty text.
    [[nodiscard]] QString checkFile(const FileDownloadSpecification& download,
                                    const FileReplaceSpecification& replace,
                                    ReleaseManifestFile& file) const;

    QString versionDir;
    int threads;
    QString error;
};
