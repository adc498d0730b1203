#pragma once

#include <QByteArray>
#include <QString>

// One packed stream in memory, unpacked as it is read, a buffer at a time; the back ends
// (ZstdStreamReader, XzStreamReader) only decode. After a failed read, problem() says what is
// wrong with the stream, or is empty when it ended early.
class PackedStreamReader
{
public:
    virtual ~PackedStreamReader() = default;
    PackedStreamReader(const PackedStreamReader&) = delete;
    PackedStreamReader& operator=(const PackedStreamReader&) = delete;

    // Exactly count bytes into out.
    [[nodiscard]] bool read(uchar* out, qint64 count);
    // A number of seven bits per byte, lowest first, the top bit set on all but the last.
    [[nodiscard]] bool readNumber(quint64& value);
    // Whether everything was read, up to the end of the stream and of the input.
    [[nodiscard]] bool atEnd();
    // The stream has not ended.
    [[nodiscard]] bool unfinished() const { return !ended; }
    [[nodiscard]] const QString& problem() const { return why; }

protected:
    explicit PackedStreamReader(qint64 bufferSize);

    // Unpacks into out, up to capacity bytes, until something comes out: the count, or 0 at the
    // end of the stream or of the input, or when the stream is damaged (problem set then).
    [[nodiscard]] virtual qint64 decode(uchar* out, qint64 capacity) = 0;
    // All input was taken.
    [[nodiscard]] virtual bool inputUsed() const = 0;

    QString why;
    bool ended = false;

private:
    [[nodiscard]] bool refill();

    QByteArray buffer;
    qint64 used = 0;
    qint64 available = 0;
};
