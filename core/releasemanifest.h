#pragma once

#include "binarypatch.h"
#include "filemode.h"
#include "recordtext.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

// One "file" record of a release manifest: a file as the mirror serves it below the version's
// directory, and for a packed (gzip) one also the file as it is installed.
struct ReleaseManifestFile
{
    QString path;              // e.g. "base/update.gz", as the updater requests it
    QByteArray sha256;         // lower-case hex digest of the file on the mirror
    qint64 size = 0;           // bytes of the file on the mirror
    QByteArray unpackedSha256; // lower-case hex digest of the installed file; empty unless packed
    qint64 unpackedSize = 0;
    // Of the installed file, from the file's "mode" record.
    FileMode mode = FileMode::Unrecorded;

    [[nodiscard]] bool isPacked() const { return !unpackedSha256.isEmpty(); }

    friend bool operator==(const ReleaseManifestFile&, const ReleaseManifestFile&) = default;
};

// One "patch" record: a binary delta on the mirror below the version's directory that turns an
// installed file with the digest sourceSha256 into the installed file of the listed file target.
// The result's digest is the target's (its unpacked digest, if it is packed). Patches of other
// methods than zstd are "patch-with" records, which name the method first.
struct ReleaseManifestPatch
{
    QString target;          // the path of a listed file
    QByteArray sourceSha256; // lower-case hex digest of the installed file it applies to
    QString path;            // e.g. "patches/<source digest>/base/update", as requested
    QByteArray sha256;       // lower-case hex digest of the patch on the mirror
    qint64 size = 0;         // bytes of the patch on the mirror
    BinaryPatch::Method method = BinaryPatch::Method::Zstd;
    // A zstd patch listed as a "patch-with" record: its window is larger than updaters from
    // before "patch-with" decode, which then fetch the whole file. Patches of other methods are
    // always listed so.
    bool namesMethod = false;

    friend bool operator==(const ReleaseManifestPatch&, const ReleaseManifestPatch&) = default;
};

// "<clientType>.manifest" beside the product ini of a release: the client type, version and
// release time, the SHA-256 digest and size of the product ini and of every file, and every
// file's installed mode when the release records modes. Plain text of TAB-separated records, one
// per LF-terminated line (README.md, "The release manifest"). Parsing is strict, since the text
// is signed and then trusted, except that records of kinds this updater does not know are
// skipped, so later releases can add kinds without locking it out.
class ReleaseManifest final : public RecordText
{
public:
    ReleaseManifest();

    static constexpr int formatVersion = 1;
    // Some 300,000 files; a larger text is refused before it is read.
    static constexpr qint64 maxSize = 64 * 1024 * 1024;
    // Sizes stay exact as doubles, for tools that read the manifest in other languages.
    static constexpr qint64 maxFileSize = qint64(1) << 53;
    // The most of a change log that updaters fetch and show, and so that the release tool lists.
    static constexpr qint64 maxChangelogSize = 1024 * 1024;

    [[nodiscard]] static QString fileName(const QString& clientType);
    [[nodiscard]] static QString signatureFileName(const QString& clientType);

    // Parses text; on false, errorString() says why and the manifest is left empty.
    [[nodiscard]] bool parse(QByteArrayView text);
    // The text of the manifest. It is written as it is, unchecked: a tool that builds a manifest
    // checks it by parsing the text again, with the updater's own rules.
    [[nodiscard]] QByteArray toText() const;

    [[nodiscard]] const QString& clientType() const { return type; }
    void setClientType(const QString& clientType) { type = clientType; }
    [[nodiscard]] int version() const { return clientVersion; }
    void setVersion(int version) { clientVersion = version; }
    // In UTC, whole seconds.
    [[nodiscard]] const QDateTime& released() const { return releaseTime; }
    void setReleased(const QDateTime& time);
    [[nodiscard]] const QByteArray& productIniSha256() const { return iniSha256; }
    [[nodiscard]] qint64 productIniSize() const { return iniSize; }
    void setProductIni(const QByteArray& sha256, qint64 size);

    // The version's "changelog_client.txt", when the manifest lists it: lower-case hex SHA-256
    // and size. An empty digest when it does not.
    [[nodiscard]] const QByteArray& changelogSha256() const { return changelogDigest; }
    [[nodiscard]] qint64 changelogSize() const { return changelogBytes; }
    void setChangelog(const QByteArray& sha256, qint64 size);

    // In manifest order.
    [[nodiscard]] const QList<ReleaseManifestFile>& files() const { return fileList; }
    // nullptr when the path is not listed.
    [[nodiscard]] const ReleaseManifestFile* file(const QString& path) const;
    // False, and nothing added, when the path is listed already.
    [[nodiscard]] bool addFile(const ReleaseManifestFile& file);

    // In manifest order.
    [[nodiscard]] const QList<ReleaseManifestPatch>& patches() const { return patchList; }
    // The patch of the file target for an installed copy with that digest; nullptr if none.
    [[nodiscard]] const ReleaseManifestPatch* patch(const QString& target,
                                                    const QByteArray& sourceSha256) const;
    // False, and nothing added, when the target is not a listed file, when it has a patch for
    // that source already, or when another patch has the same path.
    [[nodiscard]] bool addPatch(const ReleaseManifestPatch& patch);

    // Records the mode of the listed file at path. False, and nothing changed, when the path is
    // not listed or the file has a mode already.
    [[nodiscard]] bool setMode(const QString& path, FileMode mode);

    // The content; the error text does not count.
    friend bool operator==(const ReleaseManifest& a, const ReleaseManifest& b);

private:
    [[nodiscard]] bool readRecord(const Fields& fields) override;
    [[nodiscard]] bool readClientType(QByteArrayView value);
    [[nodiscard]] bool readVersion(QByteArrayView value);
    [[nodiscard]] bool readReleased(QByteArrayView value);
    [[nodiscard]] bool readProductIni(QByteArrayView sha256, QByteArrayView size);
    [[nodiscard]] bool readFile(const Fields& fields);
    [[nodiscard]] bool readPatch(const Fields& fields, qsizetype first, BinaryPatch::Method method,
                                 bool namesMethod);
    [[nodiscard]] bool readPatchWith(const Fields& fields);
    [[nodiscard]] bool readMode(const Fields& fields);
    // Either every file has a mode record or none has.
    [[nodiscard]] bool checkModes();
    [[nodiscard]] bool readChangelog(const Fields& fields);
    [[nodiscard]] bool checkComplete();
    [[nodiscard]] bool readDigest(QByteArrayView text, QLatin1StringView what, QByteArray& digest);

    QString type;
    int clientVersion = 0;
    QDateTime releaseTime;
    QByteArray iniSha256;
    qint64 iniSize = 0;
    QList<ReleaseManifestFile> fileList;
    QHash<QString, qsizetype> fileIndex; // path to its place in fileList
    QList<ReleaseManifestPatch> patchList;
    QHash<QString, qsizetype> patchIndex; // target + TAB + source digest to its place in patchList
    QSet<QString> patchPaths;
    QByteArray changelogDigest;
    qint64 changelogBytes = 0;
};
