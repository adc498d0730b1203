#include "filedeletetaskspecification.h"

#include <QFile>

using namespace Qt::StringLiterals;

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString& path,
                                                         QObject* parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(path, parent, parentProgressRange)
    , mustSucceed(mustSucceed)
{}

bool FileDeleteTaskSpecification::doOp()
{
    if (QFile::remove(path) || !mustSucceed)
        return true;
    emit message(u"Could not delete '%1'"_s.arg(path));
    return false;
}
