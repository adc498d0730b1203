#include "processtools.h"

#include "approot.h"
#include "installationlayout.h"

#include <QProcess>

void ProcessTools::startVq3Client()
{
    // Detached, so that the client runs on when the updater ends; whether it started is not
    // the updater's concern any more.
    QProcess::startDetached(clientStartScriptPath(), {});
}

QString ProcessTools::clientStartScriptPath()
{
    return AppRoot::filePath(InstallationLayout::clientStartScript());
}
