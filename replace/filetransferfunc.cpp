#include "filetransferfunc.h"

#include "installationlayout.h"
#include "wholefile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
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
bool writeFrom(const QString& source, const QString& target,
               std::optional<QFileDevice::Permissions> mode,
               SlowFileOpSpecification::Placement placement)
{
    Reader reader;
    if (!reader.open(source))
        return false;
    std::vector<char> buffer(transferBlockSize);
    return FileTransferFunc::writeNewFile(
            target, buffer,
            [&reader](char* block, qint64 capacity) { return reader.read(block, capacity); }, mode,
            placement);
}

bool isPlainFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink();
}

// One rename, whole at once, so no part name is needed. RENAME_NOREPLACE: a new name is never
// taken over a file that appeared there meanwhile.
bool renameFile(const QString& source, const QString& target,
                SlowFileOpSpecification::Placement placement)
{
    const unsigned flags =
            placement == SlowFileOpSpecification::Placement::NewName ? RENAME_NOREPLACE : 0;
    return ::renameat2(AT_FDCWD, QFile::encodeName(source).constData(), AT_FDCWD,
                       QFile::encodeName(target).constData(), flags) == 0;
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
    const bool written = content == Content::Gzip
                                 ? writeFrom<GzipReader>(source, target, mode, placement)
                                 : writeFrom<PlainReader>(source, target, mode, placement);
    if (written)
        return {};
    if (errno == ENOSPC || errno == EDQUOT)
        return {Failure::Kind::Disk,
                u"Not enough disk space in %1"_s.arg(QFileInfo(target).absolutePath())};
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
    return renameFile(source, target, placement);
}

bool FileTransferFunc::linkFile(const QString& source, const QString& target)
{
    return isPlainFile(source) && ::link(QFile::encodeName(source).constData(),
                                         QFile::encodeName(target).constData()) == 0;
}

const QString& FileTransferFunc::partFilePrefix()
{
    return InstallationLayout::partFilePrefix();
}

QString FileTransferFunc::partFilePath(const QString& target)
{
    const QFileInfo info(target);
    return info.path() + u'/' + partFilePrefix() + info.fileName();
}

bool FileTransferFunc::writeNewFile(const QString& target, std::span<char> buffer,
                                    const BlockReader& read,
                                    std::optional<QFileDevice::Permissions> mode,
                                    Placement placement)
{
    // A part file of ours left by a killed run is worthless; anything else under the name was
    // never ours to keep either, since the name is reserved.
    const QString part = partFilePath(target);
    QFile::remove(part);
    QFile out(part);
    // NewOnly: an existing file is neither truncated nor written through if it is a link.
    // Unbuffered: a failing write shows at the write that failed.
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;
    bool ok = true;
    int error = 0;
    for (;;) {
        const qint64 got = read(buffer.data(), qint64(buffer.size()));
        if (got == 0)
            break;
        if (got < 0 || out.write(buffer.data(), got) != got) {
            error = errno;
            ok = false;
            break;
        }
    }
    if (ok)
        WholeFile::startWriteBack(out);
    // close() clears an earlier error once it succeeds itself, so ok carries the writes' verdict.
    out.close();
    if (ok && out.error() != QFileDevice::NoError) {
        error = errno;
        ok = false;
    }
    if (ok && mode)
        ok = out.setPermissions(*mode);
    if (ok && renameFile(part, target, placement))
        return true;
    error = error != 0 ? error : errno;
    QFile::remove(part);
    errno = error;
    return false;
}
