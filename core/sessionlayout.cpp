#include "sessionlayout.h"

#include "releasemanifest.h"

using namespace Qt::StringLiterals;

QString SessionLayout::productIniPath(const QString& clientType) const
{
    return filePath(clientType + u".ini"_s);
}

QString SessionLayout::manifestPath(const QString& clientType) const
{
    return filePath(ReleaseManifest::fileName(clientType));
}
