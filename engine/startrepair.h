#pragma once

#include "installationlayout.h"

#include <QString>

#include <functional>

// What every start does before anything else: finishes what a killed run left in the application
// root (undone to exactly the old version when it had not committed its replacement, its
// deletions finished and its session removed when it had), and removes the backups of the
// updater's own files that a self-update left.
class StartRepair
{
public:
    StartRepair() = delete;

    using LogLine = std::function<void(const QString& line)>;

    // True when nothing is left to repair in installation; otherwise error says why.
    [[nodiscard]] static bool repairKilledRun(const InstallationLayout& installation,
                                              const LogLine& log, QString& error);
    // Removes the backups of the updater's own files in path, a directory of installation,
    // except those that the journal of an unrepaired run still names.
    static void removeOldFiles(const InstallationLayout& installation, const QString& path);
};
