// sonavelle-release: publishes a client version as a signed mirror tree, adds the signed
// manifest to a version published before, or signs the channel statement.

#include "releasetool.h"
#include "releasetoolchannels.h"
#include "releasetoolcommandline.h"
#include "releasetoolmanifestadder.h"

#include <QCoreApplication>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

void print(std::FILE* stream, const QString& line)
{
    std::fputs((line + u'\n').toLocal8Bit().constData(), stream);
}

void printError(const QString& text)
{
    print(stderr, u"sonavelle-release: "_s + text);
}

// Publishing and adding a manifest report alike.
template<typename Tool>
int runTool(Tool& tool)
{
    const bool done = tool.run();
    for (const QString& warning : tool.warnings())
        printError(u"warning: "_s + warning);
    if (!done) {
        printError(tool.errorString());
        return exitFailure;
    }
    for (const QString& line : tool.summary())
        print(stdout, line);
    return EXIT_SUCCESS;
}

} // namespace

int main(int argc, char* argv[])
{
    const QCoreApplication application(argc, argv);
    ReleaseToolCommandLine commandLine;
    switch (commandLine.parse(QCoreApplication::arguments())) {
    case ReleaseToolCommandLine::Result::Help:
        std::fputs(commandLine.helpText().toLocal8Bit().constData(), stdout);
        return EXIT_SUCCESS;
    case ReleaseToolCommandLine::Result::UsageError:
        printError(commandLine.errorString());
        print(stderr, u"Try \"sonavelle-release --help\"."_s);
        return exitUsage;
    case ReleaseToolCommandLine::Result::Run:
        break;
    }

    if (commandLine.options().signChannels) {
        ReleaseToolChannels channels(commandLine.options());
        return runTool(channels);
    }
    if (commandLine.options().addManifest) {
        ReleaseToolManifestAdder adder(commandLine.options());
        return runTool(adder);
    }
    ReleaseTool tool(commandLine.options());
    return runTool(tool);
}
