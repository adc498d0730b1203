#pragma once

#include "binarypatch.h"
#include "failure.h"
#include "suffixindex.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Binary deltas the way bsdiff makes them: a suffix array of the old file (libdivsufsort) finds
// stretches of the new file that match somewhere in the old one with only a few bytes changed,
// such as code whose addresses all moved by the same amount. A patch is a list of steps, each
// "add this many bytes of the difference to the old file at that place, then copy this many new
// bytes", in three streams: the steps, the differences (mostly zeros) and the new bytes, packed
// by libzstd, or the differences by xz where that is smaller and they are few.
//
// Applying reads the old file through a mapping and streams the result, so its memory does not
// grow with the file; making holds both files and four bytes per byte of the old one.
class SuffixPatch
{
public:
    // The suffix array indexes the old file with 32-bit positions.
    static constexpr qint64 maxSourceSize = SuffixIndex::maxSize;

    SuffixPatch() = delete;

    // A patch that turns source into target, using up to threads threads. Fails when the source
    // is larger than maxSourceSize or a library fails.
    [[nodiscard]] static Result<QByteArray> make(QByteArrayView source, QByteArrayView target,
                                                 int threads = 2);
    // The method a manifest names for patch: "suffix-xz" where xz packs its differences.
    [[nodiscard]] static BinaryPatch::Method methodOf(QByteArrayView patch);
    // As ZstdPatch::apply: writes what patchFile makes of sourceFile to targetFile and gives the
    // lower-case hex SHA-256 digest of it; a damaged patch, one made from another source or one
    // that makes more than maxTargetSize bytes fails.
    [[nodiscard]] static Result<QByteArray> apply(const QString& sourceFile,
                                                  const QString& patchFile,
                                                  const QString& targetFile, qint64 maxTargetSize);
};
