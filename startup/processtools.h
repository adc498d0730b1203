#pragma once

#include <QString>

// Starting the updated client, which outlives the updater.
class ProcessTools
{
public:
    ProcessTools() = delete;

    // Starts the client's start script in the application root as an independent process. A
    // missing or unusable script starts nothing and is not reported.
    static void startVq3Client();

    [[nodiscard]] static QString clientStartScriptPath();
};
