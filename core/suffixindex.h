#pragma once

#include <QByteArrayView>

#include <cstdint>
#include <vector>

// A suffix array of a file (libdivsufsort) and, for each first three bytes, where their suffixes
// start in it, so that a search begins in a small range and takes few steps through memory that
// is in no cache. Finds the longest prefix of a pattern anywhere in the file. Takes four bytes per
// byte of the file and 64 MiB for the ranges; the file stays the caller's.
class SuffixIndex
{
public:
    struct Match
    {
        qint64 position = 0;
        qint64 length = 0;
    };

    // Files up to this size: the array holds 32-bit positions.
    static constexpr qint64 maxSize = (qint64(1) << 31) - 1;

    explicit SuffixIndex(QByteArrayView file);

    // False when the file is too large or memory runs out.
    [[nodiscard]] bool build();
    // The longest prefix of pattern found in the file; of length 0 when none starts alike.
    [[nodiscard]] Match longest(const uchar* pattern, qint64 length) const;

private:
    static constexpr qint64 keyLength = 3;
    static constexpr size_t buckets = size_t(1) << (8 * keyLength);

    [[nodiscard]] quint32 keyAt(qint64 at) const;
    [[nodiscard]] qint64 common(qint64 at, const uchar* pattern, qint64 length, qint64 known) const;

    const uchar* file;
    qint64 size;
    std::vector<std::int32_t> suffixes;
    std::vector<quint32> bucketStart;
};
