#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Binary deltas with libzstd's prefix ("patch-from") mode: the old file is the prefix that the
// patch copies from, and long-distance matching finds what moved anywhere in it. Making and
// applying both hold the whole old file in memory, and the decoder keeps a window as large as
// the new file, so files above maxFileSize get no delta.
class ZstdPatch
{
public:
    // An apply then needs at most about twice this beside the updater's own memory, and old and
    // new file together stay within the window a decoder accepts by default (2^27).
    static constexpr qint64 maxFileSize = 48 * 1024 * 1024;

    ZstdPatch() = delete;

    // A patch that turns source into target. False with error set when either is larger than
    // maxFileSize or libzstd fails.
    [[nodiscard]] static bool make(QByteArrayView source, QByteArrayView target, QByteArray& patch,
                                   QString& error);
    // Writes the file that patchFile makes of sourceFile to targetFile, streaming, and gives the
    // lower-case hex SHA-256 digest of what it wrote. A patch that is damaged, that produces more
    // than maxTargetSize bytes or that was made from another source fails with error set; the
    // target file may then hold part of a result and is the caller's to remove.
    [[nodiscard]] static bool apply(const QString& sourceFile, const QString& patchFile,
                                    const QString& targetFile, qint64 maxTargetSize,
                                    QByteArray& targetSha256, QString& error);

private:
    [[nodiscard]] static bool makeAtLevel(int level, QByteArrayView source, QByteArrayView target,
                                          QByteArray& patch, QString& error);
};
