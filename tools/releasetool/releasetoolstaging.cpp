#include "releasetoolstaging.h"

#include "releasetoolnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Opened only to flush: a directory's own entries, or the whole file system below it.
class DirectoryHandle
{
public:
    explicit DirectoryHandle(const QString& path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {}
    ~DirectoryHandle()
    {
        if (fd >= 0)
            ::close(fd);
    }
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;

    [[nodiscard]] bool syncFileSystem() const { return fd >= 0 && ::syncfs(fd) == 0; }
    [[nodiscard]] bool syncEntries() const { return fd >= 0 && ::fsync(fd) == 0; }

private:
    int fd;
};

int renameWithFlags(const QString& from, const QString& to, unsigned int flags)
{
    return ::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                       QFile::encodeName(to).constData(), flags);
}

bool exists(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

ReleaseToolStaging::ReleaseToolStaging(QString mirrorRoot, QString versionName)
    : mirrorRoot(std::move(mirrorRoot))
    , versionName(std::move(versionName))
{}

QString ReleaseToolStaging::path() const
{
    return staging ? staging->path() : QString();
}

QString ReleaseToolStaging::targetPath() const
{
    return mirrorRoot + u'/' + versionName;
}

bool ReleaseToolStaging::create(bool replace)
{
    if (!QDir().mkpath(mirrorRoot))
        return fail(
                u"cannot create the mirror root %1"_s.arg(ReleaseToolNames::display(mirrorRoot)));
    if (!replace && exists(targetPath()))
        return fail(u"version %1 exists in %2; give --replace to replace it"_s.arg(
                versionName, ReleaseToolNames::display(mirrorRoot)));

    staging = std::make_unique<QTemporaryDir>(mirrorRoot + u"/."_s + versionName +
                                              u".partial-XXXXXX"_s);
    if (!staging->isValid())
        return fail(u"cannot create a directory in %1: %2"_s.arg(
                ReleaseToolNames::display(mirrorRoot), staging->errorString()));
    // A temporary directory is private to its owner; a published version is for the web server.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::chmod(QFile::encodeName(staging->path()).constData(), 0777 & ~mask) != 0)
        return fail(u"cannot set the permissions of %1"_s.arg(
                ReleaseToolNames::display(staging->path())));
    return true;
}

bool ReleaseToolStaging::publish(bool replace)
{
    // Every file on the disk before the version appears: after a crash a published version
    // must not hold a file shorter than its entry says.
    if (!DirectoryHandle(staging->path()).syncFileSystem())
        return fail(u"cannot flush %1 to the disk"_s.arg(ReleaseToolNames::display(path())));
    const bool published = replace && exists(targetPath()) ? exchange() : renameNew();
    if (published && !DirectoryHandle(mirrorRoot).syncEntries())
        return fail(u"cannot flush %1 to the disk"_s.arg(ReleaseToolNames::display(mirrorRoot)));
    return published;
}

// The old version stays complete until the new one stands in its place, and goes with the
// staging directory, which now holds it.
bool ReleaseToolStaging::exchange()
{
    if (renameWithFlags(path(), targetPath(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno != EINVAL)
        return fail(u"cannot replace %1: %2"_s.arg(ReleaseToolNames::display(targetPath()),
                                                   qt_error_string(errno)));
    // A file system without the atomic exchange: the old version is moved aside first.
    const QString aside = path() + u"-replaced"_s;
    if (renameWithFlags(targetPath(), aside, 0) != 0)
        return fail(u"cannot replace %1: %2"_s.arg(ReleaseToolNames::display(targetPath()),
                                                   qt_error_string(errno)));
    if (renameWithFlags(path(), targetPath(), 0) != 0) {
        const int reason = errno;
        static_cast<void>(renameWithFlags(aside, targetPath(), 0));
        return fail(u"cannot replace %1: %2"_s.arg(ReleaseToolNames::display(targetPath()),
                                                   qt_error_string(reason)));
    }
    staging->setAutoRemove(false);
    QDir(aside).removeRecursively();
    return true;
}

bool ReleaseToolStaging::renameNew()
{
    int result = renameWithFlags(path(), targetPath(), RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL && !exists(targetPath()))
        result = renameWithFlags(path(), targetPath(), 0);
    if (result != 0) {
        const QString reason = errno == EEXIST || errno == ENOTEMPTY || errno == EINVAL
                                       ? u"another release put it there meanwhile"_s
                                       : qt_error_string(errno);
        return fail(
                u"cannot publish %1: %2"_s.arg(ReleaseToolNames::display(targetPath()), reason));
    }
    staging->setAutoRemove(false);
    return true;
}

bool ReleaseToolStaging::fail(const QString& text)
{
    error = text;
    return false;
}
