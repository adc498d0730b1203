// The verdict on a watched first start.

#include "probationverdict.h"

using namespace Qt::StringLiterals;

ProbationVerdict ProbationVerdict::judge(const StartOutcome& outcome, int version)
{
    const QString seconds = QString::number(double(outcome.after.count()) / 1000, 'f', 1);
    switch (outcome.end) {
    case StartOutcome::End::Running:
        return {true, u"Version %1 was still running after %2 s"_s.arg(version).arg(seconds)};
    case StartOutcome::End::Exited:
        if (outcome.code == 0)
            return {true, u"Version %1 ended after %2 s with status 0"_s.arg(version).arg(seconds)};
        return {false,
                u"Version %1 ended after %2 s with status %3"_s.arg(version).arg(seconds).arg(
                        outcome.code)};
    case StartOutcome::End::Signaled:
        return {false,
                u"Version %1 ended after %2 s with signal %3"_s.arg(version).arg(seconds).arg(
                        outcome.code)};
    case StartOutcome::End::NotStarted:
        break;
    }
    return {false, u"Version %1 could not be started: %2"_s.arg(version).arg(outcome.error)};
}
