// sonavelle-updateserver: answers the updater's version query and banner request.

#include "updateserver.h"
#include "updateservercommandline.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

// Line by line, so that a log reader sees each request as it is answered.
void print(std::FILE* stream, const QString& line)
{
    std::fputs((line + u'\n').toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

void printError(const QString& text)
{
    print(stderr, u"sonavelle-updateserver: "_s + text);
}

// Turns SIGTERM and SIGINT into an orderly end of the event loop, as a service manager expects.
class StopSignals
{
public:
    StopSignals()
    {
        sigset_t stopSet;
        sigemptyset(&stopSet);
        sigaddset(&stopSet, SIGTERM);
        sigaddset(&stopSet, SIGINT);
        // Blocked before any thread starts, so that every thread leaves them to the descriptor.
        if (::pthread_sigmask(SIG_BLOCK, &stopSet, nullptr) == 0)
            fd = ::signalfd(-1, &stopSet, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~StopSignals()
    {
        if (fd >= 0)
            ::close(fd);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    void quitOnSignal(QObject* context)
    {
        if (fd < 0)
            return;
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, context);
        QObject::connect(notifier, &QSocketNotifier::activated, context, [this] {
            signalfd_siginfo received{};
            if (::read(fd, &received, sizeof received) == sizeof received)
                QCoreApplication::quit();
        });
    }

private:
    int fd = -1;
};

} // namespace

int main(int argc, char* argv[])
{
    StopSignals stopSignals;
    const QCoreApplication application(argc, argv);
    UpdateServerCommandLine commandLine;
    const UpdateServerCommandLine::Result result = commandLine.parse(QCoreApplication::arguments());
    for (const QString& warning : commandLine.warnings())
        printError(u"warning: "_s + warning);
    switch (result) {
    case UpdateServerCommandLine::Result::Help:
        std::fputs(commandLine.helpText().toLocal8Bit().constData(), stdout);
        return EXIT_SUCCESS;
    case UpdateServerCommandLine::Result::UsageError:
        printError(commandLine.errors().join(u'\n'));
        print(stderr, u"Try \"sonavelle-updateserver --help\"."_s);
        return exitUsage;
    case UpdateServerCommandLine::Result::ConfigurationError:
        for (const QString& problem : commandLine.errors())
            printError(problem);
        return exitFailure;
    case UpdateServerCommandLine::Result::Run:
        break;
    }

    UpdateServer server(commandLine.config());
    QObject::connect(&server, &UpdateServer::message, &server,
                     [](const QString& line) { print(stdout, line); });
    if (!server.listen()) {
        printError(server.errorString());
        return exitFailure;
    }
    stopSignals.quitOnSignal(&server);
    const int exitCode = QCoreApplication::exec();
    print(stdout, u"stopped"_s);
    return exitCode;
}
