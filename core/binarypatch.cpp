#include "binarypatch.h"

#include "suffixpatch.h"
#include "zstdpatch.h"

std::optional<BinaryPatch::Method> BinaryPatch::methodNamed(QByteArrayView name)
{
    for (const Method method : {Method::Zstd, Method::Suffix, Method::SuffixXz})
        if (nameOf(method) == name)
            return method;
    return std::nullopt;
}

QByteArrayView BinaryPatch::nameOf(Method method)
{
    switch (method) {
    case Method::Suffix:
        return "suffix";
    case Method::SuffixXz:
        return "suffix-xz";
    case Method::Zstd:
        break;
    }
    return "zstd";
}

Result<QByteArray> BinaryPatch::apply(Method method, const QString& sourceFile,
                                      const QString& patchFile, const QString& targetFile,
                                      qint64 maxTargetSize)
{
    if (method != Method::Zstd)
        return SuffixPatch::apply(sourceFile, patchFile, targetFile, maxTargetSize);
    return ZstdPatch::apply(sourceFile, patchFile, targetFile, maxTargetSize);
}
