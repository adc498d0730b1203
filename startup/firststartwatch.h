#pragma once

#include "probationverdict.h"

#include <QString>

#include <chrono>

// Starts the client's start script as a child in a session of its own and watches it for the
// probation: how it ended within it, or that it still runs when the probation ends. The script
// is not waited for beyond that and outlives the watcher, as a detached start would.
class FirstStartWatch
{
public:
    FirstStartWatch() = delete;

    // Blocks SIGCHLD in the calling thread and the threads it starts from then on: the first
    // thing the watching program does.
    static void blockChildSignal();
    // Blocks for at most probation; the caller has nothing else to do meanwhile. Leaves SIGCHLD
    // blocked. The program blocks it before it starts a thread: one that does not could take the
    // signal, and an early end would only be seen when the probation is up.
    [[nodiscard]] static StartOutcome run(const QString& script,
                                          std::chrono::milliseconds probation);
};
