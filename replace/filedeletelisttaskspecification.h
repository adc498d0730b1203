#pragma once

#include "composedtaskspecification.h"
#include "installationlayout.h"

#include <QStringList>

// Deletes a list of files below the application root, one after the other, then brings the
// deletions to the disk and removes the committed replacement journal, whose work is done. A
// file that is missing or cannot be deleted is skipped silently, so the task never fails.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // fileNames are relative to installation's root.
    FileDeleteListTaskSpecification(QStringList fileNames, InstallationLayout installation,
                                    QObject* parent, double parentProgressRange);

    void execute() override;
    void reset() override;

private:
    void makeSubtasksAndStart();

    const QStringList fileNames;
    const InstallationLayout installation;
};
