#include "releasetoolstaging.h"

#include "filesystem.h"
#include "releasetoolnames.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

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
    if (!replace && FileSystem::pathTaken(targetPath()))
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
    if (FileSystem::syncFileSystems({staging->path()}).failed())
        return fail(u"cannot flush %1 to the disk"_s.arg(ReleaseToolNames::display(path())));
    const bool published =
            replace && FileSystem::pathTaken(targetPath()) ? exchange() : renameNew();
    if (published && FileSystem::syncDirectory(mirrorRoot).failed())
        return fail(u"cannot flush %1 to the disk"_s.arg(ReleaseToolNames::display(mirrorRoot)));
    return published;
}

// The old version stays complete until the new one stands in its place, and goes with the
// staging directory, which now holds it.
bool ReleaseToolStaging::exchange()
{
    if (!FileSystem::exchange(path(), targetPath()).failed())
        return true;
    if (errno != EINVAL)
        return fail(u"cannot replace %1: %2"_s.arg(ReleaseToolNames::display(targetPath()),
                                                   qt_error_string(errno)));
    // A file system without the atomic exchange: the old version is moved aside first.
    const QString aside = path() + u"-replaced"_s;
    if (FileSystem::renameOver(targetPath(), aside).failed())
        return fail(u"cannot replace %1: %2"_s.arg(ReleaseToolNames::display(targetPath()),
                                                   qt_error_string(errno)));
    if (FileSystem::renameOver(path(), targetPath()).failed()) {
        const int reason = errno;
        static_cast<void>(FileSystem::renameOver(aside, targetPath()));
        return fail(u"cannot replace %1: %2"_s.arg(ReleaseToolNames::display(targetPath()),
                                                   qt_error_string(reason)));
    }
    staging->setAutoRemove(false);
    QDir(aside).removeRecursively();
    return true;
}

bool ReleaseToolStaging::renameNew()
{
    // A file system without the refusing rename: the check before the plain one must do.
    Failure renamed = FileSystem::renameToNew(path(), targetPath());
    if (renamed.failed() && errno == EINVAL && !FileSystem::pathTaken(targetPath()))
        renamed = FileSystem::renameOver(path(), targetPath());
    if (renamed.failed()) {
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
