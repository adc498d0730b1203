#include "zstdpatch.h"

#include "mappedfile.h"
#include "sha256.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <utility>
#include <zstd.h>
#include <zstd_errors.h>

using namespace Qt::StringLiterals;

namespace {

// A patch is made once and fetched by every user on the channel, so it is worth trying hard. The
// strongest level finds more in a program whose code moved about, but on large files its parser
// misses the long matches the old file offers, where a middle level finds them; where trying
// both is cheap, the smaller patch wins.
constexpr int middleLevel = 9;
constexpr int strongestLevel = 19;
constexpr qint64 strongestUpTo = 16 * 1024 * 1024;
constexpr int minWindowLog = 10;
constexpr int maxWindowLog = 31;

struct CCtxFree
{
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DCtxFree
{
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

bool zstdOk(size_t result, QString& error, const QString& what)
{
    if (!ZSTD_isError(result))
        return true;
    error = u"%1: %2"_s.arg(what, QString::fromUtf8(ZSTD_getErrorName(result)));
    return false;
}

// A window that reaches from the end of the new file back to the start of the old one.
int windowLogFor(qint64 bytes)
{
    const int log = int(std::bit_width(quint64(std::max<qint64>(bytes, 1) - 1)));
    return std::clamp(log, minWindowLog, maxWindowLog);
}

Failure patchFailure(QString text)
{
    return {Failure::Kind::Patch, std::move(text)};
}

// A patch failure when libzstd's result is an error.
Failure zstdFailure(size_t result, const QString& what)
{
    if (!ZSTD_isError(result))
        return {};
    return patchFailure(u"%1: %2"_s.arg(what, QString::fromUtf8(ZSTD_getErrorName(result))));
}

// What the patch says it makes: one whole frame that declares its size, at most maxTargetSize.
Result<quint64> declaredSize(QByteArrayView patch, const QString& patchFile, qint64 maxTargetSize)
{
    const QString doesNotApply = u"the patch %1 does not apply"_s.arg(patchFile);
    const size_t frameSize = ZSTD_findFrameCompressedSize(patch.data(), size_t(patch.size()));
    if (ZSTD_isError(frameSize) && ZSTD_getErrorCode(frameSize) == ZSTD_error_srcSize_wrong)
        return patchFailure(u"the patch %1 ends early"_s.arg(patchFile));
    if (Failure failure = zstdFailure(frameSize, doesNotApply); failure.failed())
        return failure;
    if (frameSize < size_t(patch.size()))
        return patchFailure(u"the patch %1 goes on after its end"_s.arg(patchFile));
    const unsigned long long declared = ZSTD_getFrameContentSize(patch.data(), frameSize);
    if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR)
        return patchFailure(u"%1: it does not say how much it makes"_s.arg(doesNotApply));
    if (declared > quint64(maxTargetSize))
        return patchFailure(
                u"the patch %1 makes more than %2 bytes"_s.arg(patchFile).arg(maxTargetSize));
    return quint64(declared);
}

// Decodes patch against old into target, mapped at the declared size.
Failure decode(QByteArrayView old, QByteArrayView patch, MappedFile& target, quint64 declared,
               const QString& patchFile)
{
    const std::unique_ptr<ZSTD_DCtx, DCtxFree> context(ZSTD_createDCtx());
    if (!context)
        return patchFailure(u"out of memory"_s);
    uchar none = 0;
    uchar* const out = declared == 0 ? &none : target.writable();
    if (Failure failure =
                zstdFailure(ZSTD_DCtx_refPrefix(context.get(), old.data(), size_t(old.size())),
                            u"cannot set up the patch"_s);
        failure.failed())
        return failure;
    const size_t made = ZSTD_decompressDCtx(context.get(), out, size_t(declared), patch.data(),
                                            size_t(patch.size()));
    const QString doesNotApply = u"the patch %1 does not apply"_s.arg(patchFile);
    if (Failure failure = zstdFailure(made, doesNotApply); failure.failed())
        return failure;
    if (made != declared)
        return patchFailure(u"%1: it makes %2 bytes, not the %3 it says"_s.arg(doesNotApply)
                                    .arg(made)
                                    .arg(declared));
    return {};
}

} // namespace

bool ZstdPatch::needsLargeWindow(qint64 sourceSize, qint64 targetSize)
{
    return (qint64(1) << windowLogFor(sourceSize + targetSize)) > classicWindow;
}

bool ZstdPatch::make(QByteArrayView source, QByteArrayView target, QByteArray& patch,
                     QString& error)
{
    patch.clear();
    if (source.size() > maxFileSize || target.size() > maxFileSize) {
        error = u"larger than %1 bytes"_s.arg(maxFileSize);
        return false;
    }
    if (!makeAtLevel(middleLevel, source, target, patch, error))
        return false;
    QByteArray strongest;
    if (source.size() + target.size() <= strongestUpTo &&
        makeAtLevel(strongestLevel, source, target, strongest, error) &&
        strongest.size() < patch.size())
        patch = std::move(strongest);
    return true;
}

bool ZstdPatch::makeAtLevel(int level, QByteArrayView source, QByteArrayView target,
                            QByteArray& patch, QString& error)
{
    const std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context) {
        error = u"out of memory"_s;
        return false;
    }
    ZSTD_CCtx* c = context.get();
    const QString setup = u"cannot set up the patch"_s;
    if (!zstdOk(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level), error, setup) ||
        !zstdOk(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), error, setup) ||
        !zstdOk(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog,
                                       windowLogFor(source.size() + target.size())),
                error, setup) ||
        !zstdOk(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), error, setup) ||
        !zstdOk(ZSTD_CCtx_refPrefix(c, source.data(), size_t(source.size())), error, setup))
        return false;
    patch.resize(qsizetype(ZSTD_compressBound(size_t(target.size()))));
    const size_t written = ZSTD_compress2(c, patch.data(), size_t(patch.size()), target.data(),
                                          size_t(target.size()));
    if (!zstdOk(written, error, u"cannot make the patch"_s)) {
        patch.clear();
        return false;
    }
    patch.resize(qsizetype(written));
    return true;
}

Result<QByteArray> ZstdPatch::apply(const QString& sourceFile, const QString& patchFile,
                                    const QString& targetFile, qint64 maxTargetSize)
{
    MappedFile source(sourceFile);
    MappedFile patchMapping(patchFile);
    if (QString error; !MappedFile::openForReading({&source, &patchMapping}, error))
        return Failure{Failure::Kind::Disk, error};
    const QByteArrayView patch = patchMapping.view();
    const Result<quint64> declared = declaredSize(patch, patchFile, maxTargetSize);
    if (!declared.ok())
        return declared.failure();
    MappedFile target(targetFile);
    if (!target.create(qint64(declared.value())))
        return Failure{Failure::Kind::Disk, target.errorString()};
    if (Failure made = decode(source.view(), patch, target, declared.value(), patchFile);
        made.failed())
        return made;
    return Sha256::hexOf(target.view());
}
