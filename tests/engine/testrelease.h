#pragma once

#include "binarypatch.h"
#include "releasemanifest.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Publishes a client version into a mirror tree the way a release does: the files below
// "<version>/<section>/<key>", the product ini "<version>/<type>.ini" with one "md5::size" entry
// per file, and its signature made with the development key; beside them the release manifest,
// signed with the development manifest key.
struct ReleaseFile
{
    QString section;
    QString key;
    QByteArray content;   // as stored on the mirror
    QByteArray unpacked;  // for a compressed file: the installed content
    QString unpackedName; // for a compressed file: where it is installed
};

class TestRelease
{
public:
    TestRelease(int version, QString clientType);

    void addFile(const QString& section, const QString& key, const QByteArray& content);
    // A gzip-compressed file on the mirror, installed unpacked under unpackedName.
    void addCompressedFile(const QString& section, const QString& key, const QByteArray& content,
                           const QString& unpackedName);
    void addDelete(const QString& path);
    // A patch, listed in the manifest, that makes the installed content of the file
    // "<section>/<key>" (added before) out of oldInstalled. Its path on the mirror is returned.
    QString addPatch(const QString& section, const QString& key, const QByteArray& oldInstalled,
                     BinaryPatch::Method method = BinaryPatch::Method::Zstd);
    // An entry exactly as given, also one whose bytes do not match what it claims.
    void addRawEntry(const ReleaseFile& file);

    [[nodiscard]] QByteArray productIni() const;
    // The manifest publish() writes; a test may doctor it and publish it instead.
    [[nodiscard]] ReleaseManifest manifest() const;
    [[nodiscard]] bool publishManifest(const QString& mirrorRoot,
                                       const ReleaseManifest& manifest) const;
    // Writes the tree below mirrorRoot; false when a file cannot be written.
    [[nodiscard]] bool publish(const QString& mirrorRoot) const;

    [[nodiscard]] const QList<ReleaseFile>& files() const { return releaseFiles; }
    [[nodiscard]] QString iniPath() const; // "<version>/<type>.ini"

    // The raw 128-byte signature of data with the development private key.
    [[nodiscard]] static QByteArray sign(const QByteArray& data);
    // The raw 64-byte Ed25519 signature of data with the development manifest key.
    [[nodiscard]] static QByteArray signManifest(const QByteArray& data);
    // The public half of that key, as PEM.
    [[nodiscard]] static QByteArray manifestPublicKey();
    [[nodiscard]] static bool writeFile(const QString& path, const QByteArray& data);
    [[nodiscard]] static QByteArray gzip(const QByteArray& data);

private:
    int version;
    QString clientType;
    QList<ReleaseFile> releaseFiles;
    QStringList deletes;
    struct Patch
    {
        QString target;
        QByteArray source;
        QByteArray bytes;
        QString path;
        BinaryPatch::Method method;
    };
    QList<Patch> patches;
};
