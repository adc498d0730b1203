// The watched first start: one child, waited for until its probation ends.

#include "firststartwatch.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// SIGCHLD blocked waits to be taken with sigtimedwait: no handler of Qt's or anyone's sees it
// first.
sigset_t childSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    return set;
}

// The child runs as a detached start would: a session of its own, so that the terminal or the
// desktop session of the updater going away does not take it along, and no blocked signals.
int spawn(const QString& script, pid_t& pid)
{
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    const QByteArray path = QFile::encodeName(script);
    char* const argv[] = {const_cast<char*>(path.constData()), nullptr};
    const int result = posix_spawn(&pid, path.constData(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    return result;
}

std::chrono::milliseconds since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

} // namespace

void FirstStartWatch::blockChildSignal()
{
    const sigset_t set = childSignal();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StartOutcome FirstStartWatch::run(const QString& script, std::chrono::milliseconds probation)
{
    blockChildSignal();
    const sigset_t childEnded = childSignal();
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    if (const int error = spawn(script, pid); error != 0)
        return {StartOutcome::End::NotStarted, 0, since(start),
                QString::fromLocal8Bit(std::strerror(error))};
    const Clock::time_point end = start + probation;
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid && WIFEXITED(status))
            return {StartOutcome::End::Exited, WEXITSTATUS(status), since(start), {}};
        if (ended == pid && WIFSIGNALED(status))
            return {StartOutcome::End::Signaled, WTERMSIG(status), since(start), {}};
        if (ended < 0 && errno != EINTR) // not ours to wait for any more: nothing to judge by
            return {StartOutcome::End::Running, 0, since(start), {}};
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - Clock::now());
        if (left.count() <= 0)
            return {StartOutcome::End::Running, 0, since(start), {}};
        const timespec timeout{time_t(left.count() / 1000000000), long(left.count() % 1000000000)};
        // Wakes for any child's end, or when the time is up; the loop tells which.
        static_cast<void>(sigtimedwait(&childEnded, nullptr, &timeout));
    }
}
