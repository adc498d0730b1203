#include "dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path, QObject* parent,
                                                       double parentProgressRange)
    : FastFileOpTaskSpecification(QDir::cleanPath(path), parent, parentProgressRange)
{}

bool DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(path);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString& dir)
{
    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(
                u"Could not create dir '%1' because it already exists and is not a dir"_s.arg(dir));
        return false;
    }
    const QDir parent = info.dir();
    if (parent.path() == u"." || info.isRoot()) {
        emit message(u"Could not create dir %1"_s.arg(path));
        return false;
    }
    if (!parent.exists() && !tryCreateDir(parent.path()))
        return false;
    // One level at a time, as the journal names them.
    if (!parent.mkdir(info.fileName())) {
        emit message(u"unable to create dir %1"_s.arg(dir));
        return false;
    }
    return true;
}
