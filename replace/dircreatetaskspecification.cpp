#include "dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path, QObject* parent,
                                                       double parentProgressRange)
    : FastFileOpTaskSpecification(QDir::cleanPath(path), parent, parentProgressRange)
{}

Failure DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(path);
}

Failure DirCreateTaskSpecification::tryCreateDir(const QString& dir)
{
    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir())
            return {};
        return {Failure::Kind::Disk,
                u"Could not create dir '%1' because it already exists and is not a dir"_s.arg(dir)};
    }
    const QDir parent = info.dir();
    if (parent.path() == u"." || info.isRoot())
        return {Failure::Kind::Disk, u"Could not create dir %1"_s.arg(path)};
    if (!parent.exists()) {
        if (Failure failure = tryCreateDir(parent.path()); failure.failed())
            return failure;
    }
    // One level at a time, as the journal names them.
    if (!parent.mkdir(info.fileName()))
        return {Failure::Kind::Disk, u"unable to create dir %1"_s.arg(dir)};
    return {};
}
