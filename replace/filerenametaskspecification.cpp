#include "filerenametaskspecification.h"

#include "filesystem.h"

#include <QFile>

using namespace Qt::StringLiterals;

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& oldPath,
                                                         const QString& newPath, QObject* parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(newPath, parent, parentProgressRange)
    , oldPath(oldPath)
{}

bool FileRenameTaskSpecification::pathTaken(const QString& path)
{
    return FileSystem::pathTaken(path);
}

Failure FileRenameTaskSpecification::doOp()
{
    // QFile::rename only sees targets that resolve; past a dangling link it would fall back to
    // copying and write through the link. Check for anything at all first.
    if (pathTaken(path) || !QFile::rename(oldPath, path))
        return {Failure::Kind::Disk, u"Could not rename '%1' to '%2'"_s.arg(oldPath, path)};
    return {};
}
