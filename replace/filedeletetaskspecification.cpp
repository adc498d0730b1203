#include "filedeletetaskspecification.h"

#include <QFile>

using namespace Qt::StringLiterals;

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString& path,
                                                         QObject* parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(path, parent, parentProgressRange)
    , mustSucceed(mustSucceed)
{}

Failure FileDeleteTaskSpecification::doOp()
{
    if (QFile::remove(path) || !mustSucceed)
        return {};
    return {Failure::Kind::Disk, u"Could not delete '%1'"_s.arg(path)};
}
