#include "packedstreamreader.h"

#include <algorithm>
#include <cstring>

using namespace Qt::StringLiterals;

PackedStreamReader::PackedStreamReader(qint64 bufferSize)
    : buffer(qsizetype(bufferSize), Qt::Uninitialized)
{}

bool PackedStreamReader::read(uchar* out, qint64 count)
{
    while (count > 0) {
        if (used == available && count >= buffer.size()) {
            // Straight into place: no copy through the buffer.
            const qint64 got = decode(out, count);
            if (got == 0)
                return false;
            out += got;
            count -= got;
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

bool PackedStreamReader::readNumber(quint64& value)
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

bool PackedStreamReader::atEnd()
{
    if (used < available || refill() || !why.isEmpty())
        return false;
    return ended && inputUsed();
}

bool PackedStreamReader::refill()
{
    used = 0;
    available = decode(reinterpret_cast<uchar*>(buffer.data()), buffer.size());
    return available > 0;
}
