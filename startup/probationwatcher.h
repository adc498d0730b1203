#pragma once

#include <QString>

class InstallationLayout;

// The watched first start of a version on probation, run by a process of its own with no window
// ("update --watch-first-start"), which the updater starts in place of the client and which
// outlives it. Starts the client's script, judges the start, and then ends the probation, or puts
// the version before back, records the new one as refused and starts the client before it.
class ProbationWatcher
{
public:
    ProbationWatcher() = delete;

    [[nodiscard]] static const QString& option();
    // Starts the client: watched when a version is on probation, else as a detached start.
    static void startClient(const InstallationLayout& installation);
    // The watcher's whole life; the exit code of its process. SIGCHLD must be blocked before any
    // thread starts (see FirstStartWatch).
    [[nodiscard]] static int watch(const InstallationLayout& installation);
};
