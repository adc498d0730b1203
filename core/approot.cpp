#include "approot.h"

#include <QCoreApplication>
#include <QDir>

using namespace Qt::StringLiterals;

namespace {

QString& overridePath()
{
    static QString path;
    return path;
}

} // namespace

QString AppRoot::path()
{
    const QString& path = overridePath();
    return path.isEmpty() ? QCoreApplication::applicationDirPath() : path;
}

QString AppRoot::filePath(const QString& relativePath)
{
    return path() + u'/' + relativePath;
}

bool AppRoot::isSafeRelativePath(const QString& path)
{
    if (path.trimmed().isEmpty() || QDir::isAbsolutePath(path))
        return false;
    if (path.contains(u'\\') || path.contains(QChar(0)))
        return false;
    return !path.split(u'/').contains(u".."_s);
}

void AppRoot::setPath(const QString& path)
{
    overridePath() = path;
}
