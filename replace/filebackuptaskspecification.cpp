#include "filebackuptaskspecification.h"

#include <QFile>

FileBackupTaskSpecification::FileBackupTaskSpecification(const QString& installed,
                                                         const QString& backup, QObject* parent,
                                                         double parentProgressRange)
    // A copy keeps the original's mode, as a link does.
    : FileTransferTaskSpecification(installed, backup, parent, parentProgressRange,
                                    QFile::permissions(installed), Transfer::LinkWhenPossible)
{}
