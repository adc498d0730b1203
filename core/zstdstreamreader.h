#pragma once

#include "packedstreamreader.h"

#include <QByteArrayView>

#include <memory>
#include <zstd.h>

// One libzstd frame, read as a PackedStreamReader.
class ZstdStreamReader final : public PackedStreamReader
{
public:
    // A frame whose window is larger than 2^maxWindowLog is refused rather than decoded.
    ZstdStreamReader(QByteArrayView compressed, int maxWindowLog);

private:
    struct DCtxFree
    {
        void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
    };

    [[nodiscard]] qint64 decode(uchar* out, qint64 capacity) override;
    [[nodiscard]] bool inputUsed() const override { return input.pos == input.size; }
    [[nodiscard]] bool ok(size_t result);

    std::unique_ptr<ZSTD_DCtx, DCtxFree> context;
    ZSTD_inBuffer input;
    bool outputWasFull = false;
};
