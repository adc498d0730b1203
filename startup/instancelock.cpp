#include "instancelock.h"

#include "installationlayout.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

[[nodiscard]] QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace

QString InstanceLock::fileName()
{
    return InstallationLayout::lockFileName();
}

InstanceLock::InstanceLock(QString path)
    : path(std::move(path))
{}

InstanceLock::~InstanceLock()
{
    if (fd >= 0)
        ::close(fd);
}

InstanceLock::Result InstanceLock::acquire()
{
    if (fd >= 0)
        return Result::Acquired;
    // Read access is all a lock needs, so that a user who may not write the installation is kept
    // off it too. Not inherited by the client the updater starts: that would hold it for as long
    // as the client runs. A link planted in its place is not followed, a pipe not waited on.
    const int opened = ::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (opened < 0) {
        error = u"Cannot open the lock file %1: %2"_s.arg(path, systemError(errno));
        return Result::Failed;
    }
    struct stat status = {};
    if (::fstat(opened, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(opened);
        error = u"Cannot use the lock file %1: it is not a regular file"_s.arg(path);
        return Result::Failed;
    }
    if (::flock(opened, LOCK_EX | LOCK_NB) == 0) {
        fd = opened;
        return Result::Acquired;
    }
    const int code = errno;
    ::close(opened);
    if (code == EWOULDBLOCK)
        return Result::HeldByAnother;
    error = u"Cannot lock %1: %2"_s.arg(path, systemError(code));
    return Result::Failed;
}
