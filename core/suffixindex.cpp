#include "suffixindex.h"

#include <algorithm>
#include <divsufsort.h>
#include <new>

static_assert(sizeof(saidx_t) == sizeof(std::int32_t));

SuffixIndex::SuffixIndex(QByteArrayView file)
    : file(reinterpret_cast<const uchar*>(file.data()))
    , size(file.size())
{}

bool SuffixIndex::build()
{
    if (size == 0)
        return true;
    if (size > maxSize)
        return false;
    try {
        suffixes.resize(size_t(size));
        bucketStart.assign(buckets + 1, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (divsufsort(file, suffixes.data(), saidx_t(size)) != 0)
        return false;
    for (const std::int32_t at : suffixes)
        ++bucketStart[keyAt(at) + 1];
    for (size_t key = 1; key < bucketStart.size(); ++key)
        bucketStart[key] += bucketStart[key - 1];
    return true;
}

SuffixIndex::Match SuffixIndex::longest(const uchar* pattern, qint64 length) const
{
    if (size == 0 || length == 0)
        return {};
    qint64 low = 0;
    qint64 high = size - 1;
    if (length >= keyLength) {
        const quint32 key = (pattern[0] << 16) | (pattern[1] << 8) | pattern[2];
        if (bucketStart[key] == bucketStart[key + 1])
            return {};
        low = bucketStart[key];
        high = bucketStart[key + 1] - 1;
    }
    qint64 lowLength = common(suffixes[low], pattern, length, 0);
    qint64 highLength = common(suffixes[high], pattern, length, 0);
    // Every suffix between two others shares what both share with the pattern.
    while (high - low > 1) {
        const qint64 middle = low + (high - low) / 2;
        const qint64 at = suffixes[middle];
        const qint64 shared = common(at, pattern, length, std::min(lowLength, highLength));
        if (shared == length)
            return {at, shared};
        if (at + shared == size || file[at + shared] < pattern[shared]) {
            low = middle;
            lowLength = shared;
        } else {
            high = middle;
            highLength = shared;
        }
    }
    return lowLength >= highLength ? Match{suffixes[low], lowLength}
                                   : Match{suffixes[high], highLength};
}

// Three-byte keys in the suffixes' order: a shorter suffix sorts first among those that start with
// its bytes, as if zeros followed it.
quint32 SuffixIndex::keyAt(qint64 at) const
{
    quint32 key = 0;
    for (qint64 i = 0; i < keyLength; ++i)
        key = (key << 8) | (at + i < size ? file[at + i] : 0);
    return key;
}

qint64 SuffixIndex::common(qint64 at, const uchar* pattern, qint64 length, qint64 known) const
{
    const qint64 limit = std::min(length, size - at);
    qint64 i = known;
    while (i < limit && file[at + i] == pattern[i])
        ++i;
    return i;
}
