#include "processtools.h"

#include <QProcess>

void ProcessTools::startVq3Client(const InstallationLayout& installation)
{
    // Detached, so that the client runs on when the updater ends; whether it started is not
    // the updater's concern any more.
    QProcess::startDetached(clientStartScriptPath(installation), {});
}

QString ProcessTools::clientStartScriptPath(const InstallationLayout& installation)
{
    return installation.filePath(InstallationLayout::clientStartScript());
}
