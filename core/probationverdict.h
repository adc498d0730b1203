#pragma once

#include <QString>

#include <chrono>

// How the watched first start of a new client version ended, or that it had not by the end of
// its probation.
struct StartOutcome
{
    enum class End {
        Running,    // still running when the probation ended
        Exited,     // ended on its own; code is its exit status
        Signaled,   // killed by a signal; code is the signal's number
        NotStarted, // could not be started at all; error says why
    };
    End end = End::Running;
    int code = 0;
    std::chrono::milliseconds after{0}; // from the start to the end
    QString error;
};

// Whether the new version started well. The start script is watched, not the client: a script
// that runs the client in its place ends as the client does, and one that puts the client in the
// background and returns 0 counts as good. Anything else that ends within the probation, by a
// signal or with another status, is a start that failed.
struct ProbationVerdict
{
    bool good = true;
    QString reason; // for the log: "Version 1236 ended after 0.4 s with signal 11"

    [[nodiscard]] static ProbationVerdict judge(const StartOutcome& outcome, int version);
};
