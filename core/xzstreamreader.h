#pragma once

#include "packedstreamreader.h"

#include <QByteArrayView>

#include <lzma.h>

// One stream of the .xz format (liblzma), read as a PackedStreamReader. Its integrity check is
// verified at its end.
class XzStreamReader final : public PackedStreamReader
{
public:
    // A stream that needs more memory than memoryLimit to unpack is refused rather than decoded.
    XzStreamReader(QByteArrayView compressed, quint64 memoryLimit);
    ~XzStreamReader() override;

private:
    [[nodiscard]] qint64 decode(uchar* out, qint64 capacity) override;
    [[nodiscard]] bool inputUsed() const override { return stream.avail_in == 0; }

    lzma_stream stream = LZMA_STREAM_INIT;
    quint64 memoryLimit;
};
