#include "replacecommittaskspecification.h"

#include "approot.h"
#include "replacejournal.h"

#include <QFile>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

ReplaceCommitTaskSpecification::ReplaceCommitTaskSpecification(QString sessionDirectory,
                                                               QStringList deletions,
                                                               QObject* parent)
    : ASyncTaskSpecification(parent, 0.0)
    , sessionDirectory(std::move(sessionDirectory))
    , deletions(std::move(deletions))
{}

std::unique_ptr<ASyncFunc> ReplaceCommitTaskSpecification::createFunction()
{
    return std::make_unique<ReplaceCommitFunc>(AppRoot::path(), sessionDirectory, deletions);
}

void ReplaceCommitTaskSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(u"Could not write the installed files and %1 to the disk"_s.arg(
                sessionDirectory + u'/' + ReplaceJournal::fileName()));
    ASyncTaskSpecification::runDone(ok);
}

ReplaceCommitFunc::ReplaceCommitFunc(QString applicationRoot, QString sessionDirectory,
                                     QStringList deletions)
    : applicationRoot(std::move(applicationRoot))
    , sessionDirectory(std::move(sessionDirectory))
    , deletions(std::move(deletions))
{}

bool ReplaceCommitFunc::run()
{
    ReplaceJournal journal(sessionDirectory);
    return syncFileSystems({applicationRoot, sessionDirectory}) && journal.recordCommit(deletions);
}

bool ReplaceCommitFunc::syncFileSystems(const QStringList& paths)
{
    QSet<dev_t> synced;
    for (const QString& path : paths) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
        struct stat info = {};
        const bool ok = fd >= 0 && ::fstat(fd, &info) == 0 &&
                        (synced.contains(info.st_dev) || ::syncfs(fd) == 0);
        if (fd >= 0)
            ::close(fd);
        if (!ok)
            return false;
        synced.insert(info.st_dev);
    }
    return true;
}
