#pragma once

#include "installationlayout.h"

#include <QString>

// Starting the updated client, which outlives the updater.
class ProcessTools
{
public:
    ProcessTools() = delete;

    // Starts the client's start script in installation's root as an independent process. A
    // missing or unusable script starts nothing and is not reported.
    static void startVq3Client(const InstallationLayout& installation);

    [[nodiscard]] static QString clientStartScriptPath(const InstallationLayout& installation);
};
