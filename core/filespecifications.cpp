#include "filespecifications.h"

#include "installationlayout.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unpackedName : fileName;
}

QString FileReplaceSpecification::destFileName(const QString& prefix) const
{
    return prefixedPath(pureDestFilePath(), prefix);
}

QString FileReplaceSpecification::prefixedPath(const QString& path, const QString& prefix)
{
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString name = prefix + info.fileName();
    return info.path() == u"." ? name : info.path() + u'/' + name;
}

QString FileReplaceSpecification::patchedName() const
{
    return fileName + u".unpacked"_s;
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(InstallationLayout::backupPrefix());
}

void FileSpecifications::clear()
{
    downloadList.clear();
    replaceList.clear();
    deleteList.clear();
}
