#include "zstdstreamreader.h"

#include <algorithm>
#include <cstring>

using namespace Qt::StringLiterals;

ZstdStreamReader::ZstdStreamReader(QByteArrayView compressed, int maxWindowLog)
    : context(ZSTD_createDCtx())
    , input{compressed.data(), size_t(compressed.size()), 0}
    , buffer(qsizetype(ZSTD_DStreamOutSize()), Qt::Uninitialized)
{
    if (!context)
        why = u"out of memory"_s;
    else
        static_cast<void>(
                ok(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, maxWindowLog)));
}

bool ZstdStreamReader::read(uchar* out, qint64 count)
{
    while (count > 0) {
        if (used == available && count >= buffer.size()) {
            // Straight into place: no copy through the buffer.
            ZSTD_outBuffer output{out, size_t(count), 0};
            if (!decode(output))
                return false;
            out += output.pos;
            count -= qint64(output.pos);
            continue;
        }
        if (used == available && !refill())
            return false;
        const qint64 take = std::min(count, available - used);
        std::memcpy(out, buffer.constData() + used, size_t(take));
        used += take;
        out += take;
        count -= take;
    }
    return true;
}

bool ZstdStreamReader::readNumber(quint64& value)
{
    // Most numbers are short and whole in the buffer: read in place, without a call per byte.
    const auto* at = reinterpret_cast<const uchar*>(buffer.constData()) + used;
    const qint64 inBuffer = available - used;
    value = 0;
    for (int i = 0; i < std::min<qint64>(inBuffer, 9); ++i) {
        value |= quint64(at[i] & 0x7f) << (7 * i);
        if ((at[i] & 0x80) == 0) {
            used += i + 1;
            return true;
        }
    }
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        uchar byte = 0;
        if (!read(&byte, 1))
            return false;
        value |= quint64(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0)
            return true;
    }
    why = u"a number is too long"_s;
    return false;
}

bool ZstdStreamReader::atEnd()
{
    if (used < available || refill() || !why.isEmpty())
        return false;
    return pending == 0 && input.pos == input.size;
}

bool ZstdStreamReader::ok(size_t result)
{
    if (!ZSTD_isError(result))
        return true;
    why = QString::fromUtf8(ZSTD_getErrorName(result));
    return false;
}

// Decodes into output until something comes out. False at the end of the frame or of the input,
// or when the frame is damaged.
bool ZstdStreamReader::decode(ZSTD_outBuffer& output)
{
    while (output.pos == 0 && pending != 0 && why.isEmpty()) {
        // A full output may leave more to flush without more input.
        if (input.pos == input.size && !outputWasFull)
            return false;
        pending = ZSTD_decompressStream(context.get(), &output, &input);
        if (!ok(pending))
            return false;
        outputWasFull = output.pos == output.size;
    }
    return output.pos > 0;
}

bool ZstdStreamReader::refill()
{
    ZSTD_outBuffer output{buffer.data(), size_t(buffer.size()), 0};
    const bool got = decode(output);
    used = 0;
    available = qint64(output.pos);
    return got;
}
