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

Result<QByteArray> ZstdPatch::make(QByteArrayView source, QByteArrayView target)
{
    if (source.size() > maxFileSize || target.size() > maxFileSize)
        return patchFailure(u"larger than %1 bytes"_s.arg(maxFileSize));
    Result<QByteArray> patch = makeAtLevel(middleLevel, source, target);
    if (!patch.ok() || source.size() + target.size() > strongestUpTo)
        return patch;
    Result<QByteArray> strongest = makeAtLevel(strongestLevel, source, target);
    if (strongest.ok() && strongest.value().size() < patch.value().size())
        return strongest;
    return patch;
}

Result<QByteArray> ZstdPatch::makeAtLevel(int level, QByteArrayView source, QByteArrayView target)
{
    const std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context)
        return patchFailure(u"out of memory"_s);
    ZSTD_CCtx* c = context.get();
    const QString setup = u"cannot set up the patch"_s;
    const std::pair<ZSTD_cParameter, int> parameters[] = {
            {ZSTD_c_compressionLevel, level},
            {ZSTD_c_enableLongDistanceMatching, 1},
            {ZSTD_c_windowLog, windowLogFor(source.size() + target.size())},
            {ZSTD_c_checksumFlag, 1}};
    for (const auto& [parameter, value] : parameters) {
        if (Failure failure = zstdFailure(ZSTD_CCtx_setParameter(c, parameter, value), setup);
            failure.failed())
            return failure;
    }
    if (Failure failure =
                zstdFailure(ZSTD_CCtx_refPrefix(c, source.data(), size_t(source.size())), setup);
        failure.failed())
        return failure;
    QByteArray patch(qsizetype(ZSTD_compressBound(size_t(target.size()))), Qt::Uninitialized);
    const size_t written = ZSTD_compress2(c, patch.data(), size_t(patch.size()), target.data(),
                                          size_t(target.size()));
    if (Failure failure = zstdFailure(written, u"cannot make the patch"_s); failure.failed())
        return failure;
    patch.resize(qsizetype(written));
    return patch;
}

Result<QByteArray> ZstdPatch::apply(const QString& sourceFile, const QString& patchFile,
                                    const QString& targetFile, qint64 maxTargetSize)
{
    const Result<MappedFile> source = MappedFile::openForReading(sourceFile);
    if (!source.ok())
        return source.failure();
    const Result<MappedFile> patchMapping = MappedFile::openForReading(patchFile);
    if (!patchMapping.ok())
        return patchMapping.failure();
    const QByteArrayView patch = patchMapping.value().view();
    const Result<quint64> declared = declaredSize(patch, patchFile, maxTargetSize);
    if (!declared.ok())
        return declared.failure();
    Result<MappedFile> created = MappedFile::create(targetFile, qint64(declared.value()));
    if (!created.ok())
        return created.failure();
    MappedFile target = std::move(created).value();
    if (Failure made = decode(source.value().view(), patch, target, declared.value(), patchFile);
        made.failed())
        return made;
    return Sha256::hexOf(target.view());
}
