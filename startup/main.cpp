// The entry point: guards the installation, repairs a killed run and puts the window together.
#include "configuration.h"
#include "firststartwatch.h"
#include "installationlayout.h"
#include "instancelock.h"
#include "mainwindow.h"
#include "probationwatcher.h"
#include "singleinstancechecker.h"
#include "startrepair.h"
#include "updateengine.h"
#include "versionquerybox.h"
#ifdef SONAVELLE_BENCH_PROBES
#include "guiprobe.h"
#endif

#include <QApplication>
#include <QLocale>
#include <QStringList>
#include <QTimer>
#include <QTranslator>

#include <chrono>
#include <cstdio>
#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Unattended, the update starts by itself this long after the window is shown.
constexpr auto autoStartDelay = 2000ms;

// Exit codes of a start that does not get to work (the window ends with 0, 1 or 2).
constexpr int otherUpdaterRunsExitCode = 3;
constexpr int noLockExitCode = 4;

void printError(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Before anything else: only one updater may work on an installation. A start that finds another
// at work brings that one's window to the front, or says so when it cannot; a lock that cannot
// be had at all stops the start, since it would run unguarded. Empty to go on, else the exit
// code.
std::optional<int> guardInstallation(InstanceLock& lock, const InstallationLayout& installation)
{
    switch (lock.acquire()) {
    case InstanceLock::Result::Acquired:
        // An updater without the lock, of an older build, may be at work still: it goes first.
        // Its leftovers may be the backups of its own self-update, which it needs should it undo.
        if (SingleInstanceChecker::checkExistingInstance(u"#"_s))
            return 0;
        return std::nullopt;
    case InstanceLock::Result::HeldByAnother:
        // Its window may not listen yet; its socket must not be taken for a stale one.
        if (SingleInstanceChecker::checkExistingInstance(u"#"_s,
                                                         SingleInstanceChecker::StaleSocket::Keep))
            return 0;
        printError(u"Another updater is already working on %1; this one ends"_s.arg(
                installation.root()));
        return otherUpdaterRunsExitCode;
    case InstanceLock::Result::Failed:
        printError(lock.errorString() + u"; the updater does not run without it"_s);
        return noLockExitCode;
    }
    return noLockExitCode;
}

// A missing translation is no error: the built-in English texts stay. The standard lookup
// shortens "update_de_DE" to "update_de" and "update" until a file is found.
void installTranslator(QApplication& app, QTranslator& translator,
                       const InstallationLayout& installation, const QString& baseName)
{
    const QString path =
            installation.filePath(u"translations/"_s + baseName + u'_' + QLocale::system().name());
    if (translator.load(path, QString(), u"_."_s))
        app.installTranslator(&translator);
}

// What the previous self-update moved aside while it was in use; failures are retried next time.
void removeLeftoversOfSelfUpdate(const InstallationLayout& installation)
{
    StartRepair::removeOldFiles(installation, installation.root());
    StartRepair::removeOldFiles(installation, installation.filePath(u"imageformats"_s));
    StartRepair::removeOldFiles(installation, installation.filePath(u"accessible"_s));
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 2 && ProbationWatcher::option() == QLatin1StringView(argv[1])) {
        FirstStartWatch::blockChildSignal();
        QCoreApplication app(argc, argv);
        return ProbationWatcher::watch(InstallationLayout(QCoreApplication::applicationDirPath()));
    }
    QApplication app(argc, argv);
    // The installation this updater updates is the one it lies in; everything below is handed
    // this one layout.
    const InstallationLayout installation(QCoreApplication::applicationDirPath());
    InstanceLock lock(installation.filePath(InstanceLock::fileName()));
    if (const std::optional<int> exitCode = guardInstallation(lock, installation))
        return *exitCode;
    // Before anything else, whatever this start goes on to do: a run that was killed leaves the
    // installation at its old version or its new one, never between the two.
    QStringList repairLog;
    QString repairError;
    const bool repaired = StartRepair::repairKilledRun(
            installation, [&repairLog](const QString& line) { repairLog << line; }, repairError);
    if (repaired)
        removeLeftoversOfSelfUpdate(installation);

    QTranslator updateTranslator;
    QTranslator qtTranslator;
    installTranslator(app, updateTranslator, installation, u"update"_s);
    installTranslator(app, qtTranslator, installation, u"qt"_s);

    Configuration configuration(installation);
    configuration.setRetryQuestion(&VersionQueryBox::askRetry);
    MainWindow window(configuration,
                      [&installation] { ProbationWatcher::startClient(installation); });
    for (const QString& line : std::as_const(repairLog))
        window.onAppendText(line);
    // No run may work on an installation that is not whole: the journal stays for the next start,
    // and the error, shown below the repair's log, ends this one.
    if (!repaired) {
        QTimer::singleShot(0, &window,
                           [&window, repairError] { window.onFatalError(repairError); });
        window.show();
        return app.exec();
    }
    // Owned by the window: a later start of the updater brings it to the front.
    auto* instanceListener = new SingleInstanceChecker(&window);
    QObject::connect(instanceListener, &SingleInstanceChecker::otherInstanceActivate, &window,
                     &MainWindow::onOtherInstanceActivate);
#ifdef SONAVELLE_BENCH_PROBES
    new GuiProbe(window.findChild<UpdateEngine*>()); // owned by the engine; see bench/README.md
#endif

    // The engine's fatal error, such as an invalid proxy, comes from the event loop and ends the
    // program; nothing goes out before it, not even the version query.
    if (!window.mayUseNetwork()) {
        window.show();
        return app.exec();
    }
    // A failure has been shown by the window's configuration-error handler.
    if (!configuration.parseCommandLineOptions())
        return 1;
    window.confirmVersion();
    if (configuration.noUser)
        QTimer::singleShot(autoStartDelay, &window, &MainWindow::onAutoStartUpdate);

    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    return app.exec();
}
