#pragma once

#include "updateserverconfig.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

// The update server's configuration from the command line: an INI file, overridden option by
// option.
class UpdateServerCommandLine
{
public:
    enum class Result { Run, Help, UsageError, ConfigurationError };

    UpdateServerCommandLine();

    [[nodiscard]] Result parse(const QStringList& arguments);

    [[nodiscard]] const UpdateServerConfig& config() const { return parsed; }
    // The usage error, or every problem of the configuration.
    [[nodiscard]] const QStringList& errors() const { return problems; }
    [[nodiscard]] const QStringList& warnings() const { return warningLines; }
    [[nodiscard]] QString helpText() const { return parser.helpText(); }

private:
    void applyServerOptions();
    void applyContentOptions();
    void check(const QCommandLineOption& option, bool valid);

    QCommandLineParser parser;
    QCommandLineOption helpOption;
    QCommandLineOption configOption;
    QCommandLineOption addressOption;
    QCommandLineOption versionPortOption;
    QCommandLineOption bannerPortOption;
    QCommandLineOption rateLimitOption;
    QCommandLineOption channelsOption;
    QList<QCommandLineOption> versionOptions;
    QList<QCommandLineOption> nameOptions;
    QCommandLineOption newsOption;
    QCommandLineOption newsFileOption;
    QCommandLineOption bannerImageOption;
    QCommandLineOption bannerClickOption;
    UpdateServerConfig parsed;
    QStringList problems;
    QStringList warningLines;
};
