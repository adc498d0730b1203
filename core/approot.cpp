#include "approot.h"

#include <QCoreApplication>

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

void AppRoot::setPath(const QString& path)
{
    overridePath() = path;
}
