#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QMap>
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
    // Signing the channel statement of mirrorRoot, rather than publishing clientDir.
    bool signChannels = false;
    QMap<QString, qint32> channels; // channel name to version
    // --rollout in ten-thousandths: 0 without it, ChannelStatement::shareScale completes it.
    int rolloutShare = 0;
    qint32 rolloutFrom = 0;  // 0: the channel's version in the statement
    QStringList halts;       // channels whose rollout stops
    QString withdrawChannel; // empty: no --withdraw
    qint32 withdrawVersion = 0;
    qint32 withdrawTo = 0; // 0: the channel's version
    QString channelKey;
    qint64 expiresSeconds = 7 * 24 * 3600;
    int jobs = 0; // 0: one per processor core
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
    [[nodiscard]] Result readChannelOptions();
    [[nodiscard]] bool readChannel(const QString& text);
    [[nodiscard]] bool readChannelVersion(const QString& option, const QString& text, QString& name,
                                          qint32& version);
    [[nodiscard]] bool readVersion(const QCommandLineOption& option, qint32& version);
    [[nodiscard]] bool readRollout();
    [[nodiscard]] bool readShare(const QString& text);
    [[nodiscard]] bool readHalts();
    [[nodiscard]] bool readWithdrawal();
    [[nodiscard]] bool readExpiry();
    [[nodiscard]] bool reject(const QString& text);
    [[nodiscard]] Result usageError(const QString& text);

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
    QCommandLineOption channelOption;
    QCommandLineOption refreshChannelsOption;
    QCommandLineOption expiresOption;
    QCommandLineOption channelKeyOption;
    QCommandLineOption rolloutOption;
    QCommandLineOption fromOption;
    QCommandLineOption haltOption;
    QCommandLineOption withdrawOption;
    QCommandLineOption toOption;
    ReleaseToolOptions parsed;
    QString error;
};
