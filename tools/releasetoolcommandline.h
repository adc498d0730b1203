#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// What to publish and how, from the command line.
struct ReleaseToolOptions
{
    QString clientDir;
    QString mirrorRoot;
    qint32 clientVersion = 0;
    QString clientType;
    QString privateKey;
    QString manifestKey; // empty: no manifest
    QString changelog;
    QString previousDir;
    QString previousIni;
    QStringList compressPatterns;
    QStringList deltaFrom;       // earlier client directories or versions in mirrorRoot
    qint64 compressMinSize = -1; // negative: size alone compresses nothing
    bool replace = false;
    bool addManifest = false; // to the version in mirrorRoot, rather than publishing clientDir
    int jobs = 0;             // 0: one per processor core
};

class ReleaseToolCommandLine
{
public:
    enum class Result { Run, Help, UsageError };

    ReleaseToolCommandLine();

    [[nodiscard]] Result parse(const QStringList& arguments);

    [[nodiscard]] const ReleaseToolOptions& options() const { return parsed; }
    [[nodiscard]] const QString& errorString() const { return error; }
    [[nodiscard]] QString helpText() const { return parser.helpText(); }

private:
    [[nodiscard]] bool readPositionals();
    [[nodiscard]] bool readClientVersionAndType();
    [[nodiscard]] bool readCompression();
    [[nodiscard]] bool readJobs();
    [[nodiscard]] bool readKeys();
    [[nodiscard]] bool reject(const QString& text);

    QCommandLineParser parser;
    QCommandLineOption helpOption;
    QCommandLineOption versionOption;
    QCommandLineOption typeOption;
    QCommandLineOption keyOption;
    QCommandLineOption manifestKeyOption;
    QCommandLineOption addManifestOption;
    QCommandLineOption changelogOption;
    QCommandLineOption previousOption;
    QCommandLineOption previousIniOption;
    QCommandLineOption compressOption;
    QCommandLineOption compressMinSizeOption;
    QCommandLineOption deltaFromOption;
    QCommandLineOption replaceOption;
    QCommandLineOption jobsOption;
    ReleaseToolOptions parsed;
    QString error;
};
