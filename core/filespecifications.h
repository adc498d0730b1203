#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

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

    [[nodiscard]] bool hasUnzip() const { return !unpackedName.isEmpty(); }
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
