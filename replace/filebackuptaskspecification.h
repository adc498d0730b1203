#pragma once

#include "filetransfertaskspecification.h"

#include <QString>

// Makes the backup of an installed file without taking its name away: a hard link under the
// backup name, or a copy where the file system has no links. The journal's undo puts the backup
// back over the installed name in one rename, whatever was placed there since.
class FileBackupTaskSpecification : public FileTransferTaskSpecification
{
    Q_OBJECT

public:
    FileBackupTaskSpecification(const QString& installed, const QString& backup, QObject* parent,
                                double parentProgressRange);
};
