// The watcher of a first start, and what it does with the verdict.

#include "probationwatcher.h"

#include "firststartwatch.h"
#include "installationlayout.h"
#include "instancelock.h"
#include "processtools.h"
#include "replacejournal.h"
#include "usersettings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <chrono>
#include <cstdio>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// The updater that started the watcher ends right after, and another may be at work: the verdict
// waits this long for the installation.
constexpr auto lockWait = 30s;
constexpr auto lockRetry = 100ms;

void print(const QString& line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

[[nodiscard]] bool waitForLock(InstanceLock& lock)
{
    const QDeadlineTimer deadline(lockWait);
    for (;;) {
        switch (lock.acquire()) {
        case InstanceLock::Result::Acquired:
            return true;
        case InstanceLock::Result::Failed:
            print(lock.errorString());
            return false;
        case InstanceLock::Result::HeldByAnother:
            if (deadline.hasExpired())
                return false;
            QThread::msleep(std::chrono::milliseconds(lockRetry).count());
            break;
        }
    }
}

} // namespace

const QString& ProbationWatcher::option()
{
    static const QString text = u"--watch-first-start"_s;
    return text;
}

void ProbationWatcher::startClient(const InstallationLayout& installation)
{
    if (!ReplaceJournal(installation).probation()) {
        ProcessTools::startVq3Client(installation);
        return;
    }
    // Detached: the watcher, and through it the client, outlive the updater. Whatever the
    // updater's standard channels lead to may close when it ends, and a write there would end
    // the watcher.
    QProcess watcher;
    watcher.setProgram(QCoreApplication::applicationFilePath());
    watcher.setArguments({option()});
    watcher.setStandardInputFile(QProcess::nullDevice());
    watcher.setStandardOutputFile(QProcess::nullDevice());
    watcher.setStandardErrorFile(QProcess::nullDevice());
    if (!watcher.startDetached())
        ProcessTools::startVq3Client(installation);
}

int ProbationWatcher::watch(const InstallationLayout& installation)
{
    const std::optional<ReplaceJournal::Probation> probation =
            ReplaceJournal(installation).probation();
    if (!probation) {
        ProcessTools::startVq3Client(installation);
        return 0;
    }
    const StartOutcome outcome =
            FirstStartWatch::run(ProcessTools::clientStartScriptPath(installation),
                                 UserSettings::read(installation).probation);
    const ProbationVerdict verdict = ProbationVerdict::judge(outcome, probation->installed.version);
    print(verdict.reason);

    InstanceLock lock(installation.filePath(InstanceLock::fileName()));
    if (!waitForLock(lock)) {
        print(u"The installation is busy: the next start of the updater ends the probation"_s);
        return 1;
    }
    // Another updater may have ended it meanwhile, or finished another run since.
    ReplaceJournal journal(installation);
    const std::optional<ReplaceJournal::Probation> current = journal.probation();
    if (!current || current->installed.version != probation->installed.version)
        return 0;
    const auto log = [](const QString& line) { print(line); };
    if (verdict.good) {
        if (!journal.repair(log)) {
            print(journal.errorString());
            return 1;
        }
        return 0;
    }
    if (!journal.goBack(verdict.reason, log)) {
        print(journal.errorString());
        return 1;
    }
    ProcessTools::startVq3Client(installation);
    return 0;
}
