#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <zstd.h>

// One libzstd frame in memory, decompressed as it is read, a buffer at a time. After a failed
// read, problem() says what is wrong with the frame, or is empty when it ended early.
class ZstdStreamReader
{
public:
    // A frame whose window is larger than 2^maxWindowLog is refused rather than decoded.
    ZstdStreamReader(QByteArrayView compressed, int maxWindowLog);

    // Exactly count bytes into out.
    [[nodiscard]] bool read(uchar* out, qint64 count);
    // A number of seven bits per byte, lowest first, the top bit set on all but the last.
    [[nodiscard]] bool readNumber(quint64& value);
    // Whether everything was read, up to the end of the frame and of the input.
    [[nodiscard]] bool atEnd();
    // The frame has not ended.
    [[nodiscard]] bool unfinished() const { return pending != 0; }
    [[nodiscard]] const QString& problem() const { return why; }

private:
    struct DCtxFree
    {
        void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
    };

    [[nodiscard]] bool ok(size_t result);
    [[nodiscard]] bool decode(ZSTD_outBuffer& output);
    [[nodiscard]] bool refill();

    std::unique_ptr<ZSTD_DCtx, DCtxFree> context;
    ZSTD_inBuffer input;
    QByteArray buffer;
    qint64 used = 0;
    qint64 available = 0;
    size_t pending = 1; // 0 once the frame is complete
    bool outputWasFull = false;
    QString why;
};
