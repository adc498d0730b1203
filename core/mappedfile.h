#pragma once

#include "failure.h"

#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <memory>

// A whole file mapped into memory, for reading or, at a size given up front, for writing. The
// pages belong to the file, not to the program's own memory, so a large file costs only what the
// kernel keeps of it in its page cache. An empty file maps to an empty view. Failures are of kind
// Disk.
class MappedFile
{
public:
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) = delete;

    // Opens and maps the file for reading.
    [[nodiscard]] static Result<MappedFile> openForReading(const QString& path);
    // Creates or truncates the file, reserves size bytes of disk for it (so that a full disk is
    // an error here, not a crash while writing through the mapping) and maps it for writing.
    [[nodiscard]] static Result<MappedFile> create(const QString& path, qint64 size);

    [[nodiscard]] QByteArrayView view() const;
    [[nodiscard]] uchar* writable() { return data; }
    [[nodiscard]] qint64 size() const { return length; }
    [[nodiscard]] QString fileName() const { return file->fileName(); }

private:
    explicit MappedFile(const QString& path);

    // Held apart, so that the mapping stays where it is when the MappedFile moves.
    std::unique_ptr<QFile> file;
    uchar* data = nullptr;
    qint64 length = 0;
};
