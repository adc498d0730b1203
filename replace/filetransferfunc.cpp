#include "filetransferfunc.h"

#include "filesystem.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <vector>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype transferBlockSize = 64 * 1024;

// Reads a file's bytes as they are, to the end rather than to the size seen at the start: a pipe
// has none.
class PlainReader
{
public:
    [[nodiscard]] bool open(const QString& path)
    {
        file.setFileName(path);
        return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    [[nodiscard]] qint64 read(char* block, qint64 capacity) { return file.read(block, capacity); }

private:
    QFile file;
};

// Reads the unpacked content of a gzip file. The file is closed at the end of the data, so that
// a failing close fails the read before the new file takes its name.
class GzipReader
{
public:
    GzipReader() = default;
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;
    ~GzipReader()
    {
        if (in != nullptr)
            gzclose(in);
    }

    [[nodiscard]] bool open(const QString& path)
    {
        in = gzopen(QFile::encodeName(path).constData(), "rb");
        return in != nullptr;
    }

    [[nodiscard]] qint64 read(char* block, qint64 capacity)
    {
        if (in == nullptr)
            return -1;
        const int got = gzread(in, block, unsigned(capacity));
        if (got != 0)
            return got; // data, or -1 for a read or data error
        // gzread reports a stream that was cut short as a plain end; only gzerror tells.
        int status = Z_OK;
        gzerror(in, &status);
        const bool closed = gzclose(in) == Z_OK;
        in = nullptr;
        return status == Z_OK && closed ? 0 : -1;
    }

private:
    gzFile in = nullptr;
};

// Writes target from what a Reader makes of source, one block at a time.
template<typename Reader>
Failure writeFrom(const QString& source, const QString& target,
                  std::optional<QFileDevice::Permissions> mode, FileSystem::Existing existing)
{
    Reader reader;
    if (!reader.open(source))
        return {Failure::Kind::Disk, {}};
    std::vector<char> buffer(transferBlockSize);
    return FileSystem::writeNewFile(
            target, buffer,
            [&reader](char* block, qint64 capacity) { return reader.read(block, capacity); }, mode,
            existing);
}

bool isPlainFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink();
}

// A new name is never taken over a file that appeared there meanwhile.
FileSystem::Existing existingFor(SlowFileOpSpecification::Placement placement)
{
    return placement == SlowFileOpSpecification::Placement::NewName ? FileSystem::Existing::Refuse
                                                                    : FileSystem::Existing::Replace;
}

} // namespace

FileTransferFunc::FileTransferFunc(const QString& source, const QString& target, Content content,
                                   std::optional<QFileDevice::Permissions> mode,
                                   Placement placement)
    : SlowFileOpFunc(source, target)
    , content(content)
    , mode(mode)
    , placement(placement)
{}

Failure FileTransferFunc::run()
{
    // A failure removes only the part file: whatever is at target was there before and may be
    // what made the transfer fail.
    errno = 0;
    const Failure written =
            content == Content::Gzip
                    ? writeFrom<GzipReader>(source, target, mode, existingFor(placement))
                    : writeFrom<PlainReader>(source, target, mode, existingFor(placement));
    if (!written.failed() || errno == ENOSPC || errno == EDQUOT)
        return written;
    // The task words the failure: it knows what the transfer was for.
    return {Failure::Kind::Disk, {}};
}

bool FileTransferFunc::moveFile(const QString& source, const QString& target,
                                std::optional<QFileDevice::Permissions> mode, Placement placement)
{
    // Only a plain file of ours is moved; anything else is read like any source.
    if (!isPlainFile(source))
        return false;
    if (mode && !QFile::setPermissions(source, *mode))
        return false;
    // One rename, whole at once, so no part name is needed.
    const Failure moved = placement == Placement::NewName ? FileSystem::renameToNew(source, target)
                                                          : FileSystem::renameOver(source, target);
    return !moved.failed();
}

bool FileTransferFunc::linkFile(const QString& source, const QString& target)
{
    return isPlainFile(source) && !FileSystem::link(source, target).failed();
}
