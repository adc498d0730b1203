#pragma once

#include "failure.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The methods a release's binary deltas are made with, as the release manifest names them, and
// their common apply. A method this updater does not know is no error: its patches are not used
// and the whole file is fetched.
class BinaryPatch
{
public:
    enum class Method {
        Zstd,   // "zstd": libzstd's prefix mode (ZstdPatch)
        Suffix, // "suffix": bsdiff-style matches in libzstd streams (SuffixPatch)
        // "suffix-xz": the same with the differences packed by xz, which updaters from before it
        // cannot unpack
        SuffixXz,
    };

    // Files up to this size get patches, made and applied.
    static constexpr qint64 maxFileSize = qint64(1) << 31;

    BinaryPatch() = delete;

    [[nodiscard]] static std::optional<Method> methodNamed(QByteArrayView name);
    [[nodiscard]] static QByteArrayView nameOf(Method method);

    // Writes what patchFile makes of sourceFile to targetFile, at most maxTargetSize bytes, and
    // gives its lower-case hex SHA-256 digest; see ZstdPatch::apply.
    [[nodiscard]] static Result<QByteArray> apply(Method method, const QString& sourceFile,
                                                  const QString& patchFile,
                                                  const QString& targetFile, qint64 maxTargetSize);
};
