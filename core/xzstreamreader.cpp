#include "xzstreamreader.h"

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 bufferSize = 128 * 1024;

QString problemOf(lzma_ret result, quint64 memoryLimit)
{
    switch (result) {
    case LZMA_MEM_ERROR:
        return u"out of memory"_s;
    case LZMA_MEMLIMIT_ERROR:
        return u"the xz stream needs more than %1 MiB to unpack"_s.arg(memoryLimit >> 20);
    case LZMA_FORMAT_ERROR:
        return u"not an xz stream"_s;
    case LZMA_OPTIONS_ERROR:
        return u"the xz stream has options this updater does not know"_s;
    default:
        return u"the xz stream is damaged"_s;
    }
}

} // namespace

XzStreamReader::XzStreamReader(QByteArrayView compressed, quint64 memoryLimit)
    : PackedStreamReader(bufferSize)
    , memoryLimit(memoryLimit)
{
    stream.next_in = reinterpret_cast<const uint8_t*>(compressed.data());
    stream.avail_in = size_t(compressed.size());
    const lzma_ret result = lzma_stream_decoder(&stream, memoryLimit, 0);
    if (result != LZMA_OK)
        why = problemOf(result, memoryLimit);
}

XzStreamReader::~XzStreamReader()
{
    lzma_end(&stream);
}

qint64 XzStreamReader::decode(uchar* out, qint64 capacity)
{
    stream.next_out = out;
    stream.avail_out = size_t(capacity);
    while (stream.avail_out == size_t(capacity) && !ended && why.isEmpty()) {
        // Without more input the decoder can only finish: a stream cut short says so.
        const lzma_ret result = lzma_code(&stream, stream.avail_in ? LZMA_RUN : LZMA_FINISH);
        if (result == LZMA_STREAM_END)
            ended = true;
        else if (result == LZMA_BUF_ERROR)
            return 0;
        else if (result != LZMA_OK)
            why = problemOf(result, memoryLimit);
    }
    return capacity - qint64(stream.avail_out);
}
