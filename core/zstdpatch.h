#pragma once

#include "failure.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Binary deltas with libzstd's prefix ("patch-from") mode: the old file is the prefix that the
// patch copies from, and long-distance matching finds what moved anywhere in it. Making holds
// both files in memory. Applying maps the old file and decodes in one pass into the new file,
// mapped at the size the patch declares, so the file itself is the decoder's window and the
// apply's own memory does not grow with the file.
class ZstdPatch
{
public:
    // libzstd's largest window: beyond it a match could not reach back into the old file.
    static constexpr qint64 maxFileSize = qint64(1) << 31;

    // Updaters from before patches of large files decode windows up to this size only.
    static constexpr qint64 classicWindow = qint64(1) << 27;

    ZstdPatch() = delete;

    // Whether a patch between files of these sizes takes a larger window than classicWindow.
    [[nodiscard]] static bool needsLargeWindow(qint64 sourceSize, qint64 targetSize);

    // A patch that turns source into target. Fails when either is larger than maxFileSize or
    // libzstd fails.
    [[nodiscard]] static Result<QByteArray> make(QByteArrayView source, QByteArrayView target);
    // Writes the file that patchFile makes of sourceFile to targetFile and gives the
    // lower-case hex SHA-256 digest of what it wrote. A patch that is damaged, that produces more
    // than maxTargetSize bytes or that was made from another source fails; the target file may
    // then hold part of a result and is the caller's to remove.
    [[nodiscard]] static Result<QByteArray> apply(const QString& sourceFile,
                                                  const QString& patchFile,
                                                  const QString& targetFile, qint64 maxTargetSize);

private:
    [[nodiscard]] static Result<QByteArray> makeAtLevel(int level, QByteArrayView source,
                                                        QByteArrayView target);
};
