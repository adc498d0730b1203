#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// One installed file of an earlier release and where its bytes lie.
struct ReleaseToolEarlierFile
{
    QString sourcePath; // in the client directory, or as the mirror serves it
    qint64 installedSize = 0;
    // Only for a version on the mirror: what its product ini lists, which the bytes must match.
    bool listed = false;
    bool packed = false;
    QString storedMd5;
    qint64 storedSize = 0;
    QString installedMd5;
};

// A release that deltas are made from: a client directory with the files as installed, or a
// version in the mirror tree, whose installed files are what its product ini describes.
class ReleaseToolEarlierRelease
{
public:
    // earlier: digits alone name a version in mirrorRoot; anything else is a directory.
    ReleaseToolEarlierRelease(QString earlier, QString mirrorRoot, QString clientType);

    [[nodiscard]] bool load();
    [[nodiscard]] const QString& errorString() const { return error; }

    // The version number, or the directory as given and quoted.
    [[nodiscard]] QString label() const;
    // nullptr when the release installs no file there.
    [[nodiscard]] const ReleaseToolEarlierFile* file(const QString& installedPath) const;
    // The installed bytes; from the mirror unpacked and checked against the product ini. Returns
    // what went wrong, naming the file, or an empty text. Safe to call from several threads; for
    // files of at most BinaryPatch::maxFileSize, as it holds them whole.
    [[nodiscard]] QString readInstalled(const ReleaseToolEarlierFile& file,
                                        QByteArray& bytes) const;

private:
    [[nodiscard]] bool isVersion() const;
    [[nodiscard]] bool loadDirectory();
    [[nodiscard]] bool loadVersion();
    [[nodiscard]] QString checkListed(const ReleaseToolEarlierFile& file, QByteArray& bytes) const;
    [[nodiscard]] QString differs(const QString& shown) const;
    [[nodiscard]] bool fail(const QString& text);

    QString earlier;
    QString mirrorRoot;
    QString clientType;
    QHash<QString, ReleaseToolEarlierFile> files; // by installed path
    QString error;
};
