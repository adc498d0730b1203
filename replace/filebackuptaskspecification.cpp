#include "filebackuptaskspecification.h"

#include <QFile>

FileBackupTaskSpecification::FileBackupTaskSpecification(RollbackDataList* rollbackList,
                                                         const QString& installed,
                                                         const QString& backup, QObject* parent,
                                                         double parentProgressRange)
    // A copy keeps the original's mode, as a link does.
    : FileCopyTaskSpecification(rollbackList, installed, backup, parent, parentProgressRange,
                                QFile::permissions(installed), Transfer::LinkWhenPossible)
{}

std::optional<RollbackData> FileBackupTaskSpecification::doneRecord() const
{
    return RollbackData(RollbackData::Backup, source, target);
}
