#include "zstdpatch.h"

#include "sha256.h"
#include "wholefile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <bit>
#include <memory>
#include <zstd.h>

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
constexpr int maxWindowLog = 27;

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

} // namespace

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

bool ZstdPatch::apply(const QString& sourceFile, const QString& patchFile,
                      const QString& targetFile, qint64 maxTargetSize, QByteArray& targetSha256,
                      QString& error)
{
    targetSha256.clear();
    if (QFileInfo(sourceFile).size() > maxFileSize) {
        error = u"%1 is larger than %2 bytes"_s.arg(sourceFile).arg(maxFileSize);
        return false;
    }
    WholeFile sourceReader(sourceFile);
    QByteArray source;
    if (!sourceReader.readAll(source)) {
        error = sourceReader.errorString();
        return false;
    }
    QFile patch(patchFile);
    if (!patch.open(QIODevice::ReadOnly)) {
        error = u"Could not open file %1 for reading"_s.arg(patchFile);
        return false;
    }
    QFile target(targetFile);
    if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = u"Could not open file %1 for writing: %2"_s.arg(targetFile, target.errorString());
        return false;
    }
    const std::unique_ptr<ZSTD_DCtx, DCtxFree> context(ZSTD_createDCtx());
    if (!context) {
        error = u"out of memory"_s;
        return false;
    }
    ZSTD_DCtx* d = context.get();
    const QString setup = u"cannot set up the patch"_s;
    if (!zstdOk(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, maxWindowLog), error, setup) ||
        !zstdOk(ZSTD_DCtx_refPrefix(d, source.constData(), size_t(source.size())), error, setup))
        return false;

    Sha256 hash;
    QByteArray in(qsizetype(ZSTD_DStreamInSize()), Qt::Uninitialized);
    QByteArray out(qsizetype(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    qint64 produced = 0;
    size_t pending = 1; // what the decoder still expects; 0 once the frame is complete
    for (bool end = false; !end;) {
        const qint64 got = patch.read(in.data(), in.size());
        if (got < 0) {
            error = u"could not read file %1 correctly"_s.arg(patchFile);
            return false;
        }
        end = got == 0;
        ZSTD_inBuffer input{in.constData(), size_t(got), 0};
        bool outputFull = false;
        // A full output block may leave more to flush, even without more input.
        while (pending != 0 && (input.pos < input.size || outputFull || end)) {
            ZSTD_outBuffer output{out.data(), size_t(out.size()), 0};
            pending = ZSTD_decompressStream(d, &output, &input);
            if (!zstdOk(pending, error, u"the patch %1 does not apply"_s.arg(patchFile)))
                return false;
            produced += qint64(output.pos);
            if (produced > maxTargetSize) {
                error = u"the patch %1 makes more than %2 bytes"_s.arg(patchFile).arg(
                        maxTargetSize);
                return false;
            }
            const QByteArrayView block(out.constData(), qsizetype(output.pos));
            hash.add(block);
            if (target.write(block.data(), block.size()) != block.size()) {
                error = u"Could not write file %1: %2"_s.arg(targetFile, target.errorString());
                return false;
            }
            outputFull = output.pos == output.size;
            if (end && !outputFull)
                break;
        }
        if (input.pos < input.size) {
            error = u"the patch %1 goes on after its end"_s.arg(patchFile);
            return false;
        }
    }
    if (pending != 0) {
        error = u"the patch %1 ends early"_s.arg(patchFile);
        return false;
    }
    if (!target.flush()) {
        error = u"Could not write file %1: %2"_s.arg(targetFile, target.errorString());
        return false;
    }
    targetSha256 = hash.hexResult();
    return true;
}
