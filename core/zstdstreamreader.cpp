#include "zstdstreamreader.h"

using namespace Qt::StringLiterals;

ZstdStreamReader::ZstdStreamReader(QByteArrayView compressed, int maxWindowLog)
    : PackedStreamReader(qint64(ZSTD_DStreamOutSize()))
    , context(ZSTD_createDCtx())
    , input{compressed.data(), size_t(compressed.size()), 0}
{
    if (!context)
        why = u"out of memory"_s;
    else
        static_cast<void>(
                ok(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, maxWindowLog)));
}

bool ZstdStreamReader::ok(size_t result)
{
    if (!ZSTD_isError(result))
        return true;
    why = QString::fromUtf8(ZSTD_getErrorName(result));
    return false;
}

qint64 ZstdStreamReader::decode(uchar* out, qint64 capacity)
{
    ZSTD_outBuffer output{out, size_t(capacity), 0};
    while (output.pos == 0 && !ended && why.isEmpty()) {
        // A full output may leave more to flush without more input.
        if (input.pos == input.size && !outputWasFull)
            return 0;
        const size_t pending = ZSTD_decompressStream(context.get(), &output, &input);
        if (!ok(pending))
            return 0;
        ended = pending == 0;
        outputWasFull = output.pos == output.size;
    }
    return qint64(output.pos);
}
