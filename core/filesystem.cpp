// The update's renames, links, removals and syncs, each with what it leaves on the disk.
#include "filesystem.h"

#include "installationlayout.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

// A failure of the disk: what failed, and the reason, which errno holds again afterwards.
Failure diskFailure(int reason, const QString& what)
{
    Failure failure{Failure::Kind::Disk, u"%1: %2"_s.arg(what, qt_error_string(reason))};
    errno = reason;
    return failure;
}

Failure renamed(const QString& from, const QString& to, unsigned flags)
{
    if (::renameat2(AT_FDCWD, encoded(from).constData(), AT_FDCWD, encoded(to).constData(),
                    flags) == 0)
        return {};
    const int reason = errno;
    return diskFailure(reason, u"Could not rename %1 to %2"_s.arg(from, to));
}

// A directory opened only to sync it, or the file system it lies on.
class DirectoryHandle
{
public:
    explicit DirectoryHandle(const QString& path)
        : fd(::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {}
    ~DirectoryHandle()
    {
        // errno may still say why a sync failed.
        const int reason = errno;
        if (fd >= 0)
            ::close(fd);
        errno = reason;
    }
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;

    [[nodiscard]] int handle() const { return fd; }

private:
    int fd;
};

// Writes what read delivers to out and closes it. False with error set when that failed (0 where
// the reader failed without a reason).
bool writeBlocks(QFile& out, std::span<char> buffer, const FileSystem::BlockReader& read,
                 int& error)
{
    bool ok = true;
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
        FileSystem::startWriteBack(out);
    // close() clears an earlier error once it succeeds itself, so ok carries the writes' verdict.
    out.close();
    if (ok && out.error() != QFileDevice::NoError) {
        error = errno;
        ok = false;
    }
    return ok;
}

// Why a new file could not be written, a full disk named as such; errno holds reason again.
Failure writeFailure(int reason, const QString& target)
{
    if (reason != 0 && reason != ENOSPC && reason != EDQUOT)
        return diskFailure(reason, u"Could not write %1"_s.arg(target));
    Failure failure{Failure::Kind::Disk,
                    reason != 0
                            ? u"Not enough disk space in %1"_s.arg(QFileInfo(target).absolutePath())
                            : u"Could not write %1: its content could not be read"_s.arg(target)};
    errno = reason;
    return failure;
}

} // namespace

bool FileSystem::pathTaken(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool FileSystem::sameFile(const QString& a, const QString& b)
{
    struct stat first = {};
    struct stat second = {};
    return ::lstat(encoded(a).constData(), &first) == 0 &&
           ::lstat(encoded(b).constData(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

Failure FileSystem::renameOver(const QString& from, const QString& to)
{
    return renamed(from, to, 0);
}

Failure FileSystem::renameToNew(const QString& from, const QString& to)
{
    return renamed(from, to, RENAME_NOREPLACE);
}

Failure FileSystem::exchange(const QString& a, const QString& b)
{
    if (::renameat2(AT_FDCWD, encoded(a).constData(), AT_FDCWD, encoded(b).constData(),
                    RENAME_EXCHANGE) == 0)
        return {};
    const int reason = errno;
    return diskFailure(reason, u"Could not exchange %1 and %2"_s.arg(a, b));
}

Failure FileSystem::link(const QString& source, const QString& target)
{
    if (::link(encoded(source).constData(), encoded(target).constData()) == 0)
        return {};
    const int reason = errno;
    return diskFailure(reason, u"Could not give %1 the second name %2"_s.arg(source, target));
}

Failure FileSystem::removeFile(const QString& path)
{
    if (::unlink(encoded(path).constData()) == 0 || errno == ENOENT)
        return {};
    const int reason = errno;
    return diskFailure(reason, u"Could not delete %1"_s.arg(path));
}

Failure FileSystem::syncFileData(const QString& path)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        return syncFileData(file);
    const int reason = errno;
    return diskFailure(reason, u"Could not write %1 to the disk"_s.arg(path));
}

Failure FileSystem::syncFileData(QFileDevice& file)
{
    if (::fdatasync(file.handle()) == 0)
        return {};
    const int reason = errno;
    return diskFailure(reason, u"Could not write %1 to the disk"_s.arg(file.fileName()));
}

Failure FileSystem::syncDirectory(const QString& path)
{
    const DirectoryHandle directory(path);
    if (directory.handle() >= 0 && ::fsync(directory.handle()) == 0)
        return {};
    const int reason = errno;
    return diskFailure(reason, u"Could not write the directory %1 to the disk"_s.arg(path));
}

Failure FileSystem::syncFileSystems(const QStringList& paths)
{
    QSet<dev_t> synced;
    for (const QString& path : paths) {
        const DirectoryHandle directory(path);
        struct stat info = {};
        if (directory.handle() < 0 || ::fstat(directory.handle(), &info) != 0 ||
            (!synced.contains(info.st_dev) && ::syncfs(directory.handle()) != 0)) {
            const int reason = errno;
            return diskFailure(reason,
                               u"Could not write the file system of %1 to the disk"_s.arg(path));
        }
        synced.insert(info.st_dev);
    }
    return {};
}

void FileSystem::startWriteBack(QFileDevice& file, qint64 offset, qint64 length)
{
    // A file system that cannot do it writes the file back later, as always.
    static_cast<void>(::sync_file_range(file.handle(), offset, length, SYNC_FILE_RANGE_WRITE));
}

QString FileSystem::partFilePath(const QString& target)
{
    const QFileInfo info(target);
    return info.path() + u'/' + InstallationLayout::partFilePrefix() + info.fileName();
}

Failure FileSystem::writeNewFile(const QString& target, std::span<char> buffer,
                                 const BlockReader& read,
                                 std::optional<QFileDevice::Permissions> mode, Existing existing)
{
    // A part file of ours left by a killed run is worthless; anything else under the name was
    // never ours to keep either, since the name is reserved.
    const QString part = partFilePath(target);
    QFile::remove(part);
    QFile out(part);
    int error = 0;
    // NewOnly: an existing file is neither truncated nor written through if it is a link.
    // Unbuffered: a failing write shows at the write that failed.
    const bool written =
            out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered) &&
            writeBlocks(out, buffer, read, error) && (!mode || out.setPermissions(*mode));
    if (written &&
        !(existing == Existing::Replace ? renameOver(part, target) : renameToNew(part, target))
                 .failed())
        return {};
    error = error != 0 ? error : errno;
    QFile::remove(part);
    return writeFailure(error, target);
}

Failure FileSystem::placeSynced(const QString& part, const QString& target)
{
    Failure failure = syncFileData(part);
    if (!failure.failed())
        failure = renameOver(part, target);
    if (failure.failed()) {
        const int reason = errno;
        QFile::remove(part);
        errno = reason;
    }
    return failure;
}
