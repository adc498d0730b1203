#pragma once

#include "binarypatch.h"
#include "filemode.h"

#include <QList>
#include <QMetaType>
#include <QString>

// A binary delta from the release manifest that makes a file to install out of the copy installed
// now. Fetched below the temporary directory under its own path, applied into result.
struct FilePatchSpecification
{
    QString path;      // below the version's directory on the mirror, as requested
    QByteArray sha256; // lower-case hex digest of the patch
    qint64 size = 0;   // bytes of the patch
    QString source;    // the installed file it applies to, relative to the application root
    QString result;    // where the made file goes, relative to the temporary directory
    QByteArray resultSha256;
    qint64 resultSize = 0;
    BinaryPatch::Method method = BinaryPatch::Method::Zstd;

    [[nodiscard]] bool isSet() const { return !path.isEmpty(); }

    friend bool operator==(const FilePatchSpecification&, const FilePatchSpecification&) = default;
};

// One file to fetch from a mirror into the temporary directory, where it is stored under
// fileName. Its URL is the mirror's base, sourceDir and fileName joined by "/".
struct FileDownloadSpecification
{
    QString sourceDir;
    QString fileName;
    QString md5;     // hex digest of the file as stored on the mirror
    qint64 size = 0; // bytes of the file as stored on the mirror
    // Lower-case hex SHA-256 of the file as stored on the mirror, from the release manifest;
    // empty without one.
    QByteArray sha256 = {};
    // With a patch, the patch is fetched and applied in place of the whole file, which stays
    // the fallback.
    FilePatchSpecification patch = {};

    // What is expected to travel: the patch where there is one.
    [[nodiscard]] qint64 transferSize() const { return patch.isSet() ? patch.size : size; }

    friend bool operator==(const FileDownloadSpecification&,
                           const FileDownloadSpecification&) = default;
};

// One file to install into the application root from the temporary directory. With an
// unpackedName the downloaded file is gzip-compressed and installed unpacked under that name.
struct FileReplaceSpecification
{
    QString sourceDir;
    QString fileName;
    QString unpackedMd5;
    qint64 unpackedSize = 0;
    QString unpackedName;
    // Lower-case hex SHA-256 of the unpacked file, from the release manifest; empty without one.
    QByteArray unpackedSha256 = {};
    // Of the installed file, from the release manifest.
    FileMode mode = FileMode::Unrecorded;

    [[nodiscard]] bool hasUnzip() const { return !unpackedName.isEmpty(); }
    // Where a packed file made by a patch waits in the temporary directory, unpacked already.
    [[nodiscard]] QString patchedName() const;
    // The installed path, relative to the application root.
    [[nodiscard]] QString pureDestFilePath() const;
    // The installed path with prefix put in front of its last component.
    [[nodiscard]] QString destFileName(const QString& prefix) const;
    // Any relative path with prefix put in front of its last component.
    [[nodiscard]] static QString prefixedPath(const QString& path, const QString& prefix);
    // Where the installed file is kept while it is replaced.
    [[nodiscard]] QString oldDestFileName() const;

    friend bool operator==(const FileReplaceSpecification&,
                           const FileReplaceSpecification&) = default;
};

// What one update has to do: the lists that the pipeline stages hand to each other.
struct FileSpecifications
{
    QList<FileDownloadSpecification> downloadList;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList; // relative to the application root

    void clear();

    friend bool operator==(const FileSpecifications&, const FileSpecifications&) = default;
};

Q_DECLARE_METATYPE(FileSpecifications)
