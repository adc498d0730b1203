#pragma once

#include "updatechannel.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <array>

class QSettings;

// The client version and its display name that one update channel offers.
struct UpdateServerVersion
{
    QString version;
    QString name;

    friend bool operator==(const UpdateServerVersion&, const UpdateServerVersion&) = default;
};

// What the update server answers and where it listens. Filled from an INI file and the command
// line; problems() tells whether updaters could read every reply.
class UpdateServerConfig
{
public:
    static constexpr quint16 defaultVersionPort = 17384;
    static constexpr quint16 defaultBannerPort = 2009;
    // Replies per client address and minute: plenty for updaters behind one address, and a
    // bound on what forged requests can make this server send to someone else.
    static constexpr int defaultRateLimit = 600;
    // What updaters read of each reply at most.
    static constexpr qsizetype versionListLimit = 511;
    static constexpr qsizetype newsLimit = 4095;
    static constexpr qsizetype bannerLimit = 1024;
    static constexpr int channelCount = updateChannelCount;

    QHostAddress address{QHostAddress::LocalHost};
    quint16 versionPort = defaultVersionPort; // 0: any free port
    quint16 bannerPort = defaultBannerPort;
    std::array<UpdateServerVersion, channelCount> versions; // stable, beta, alpha
    QString news;
    QString bannerImage;
    QString bannerClick;              // may be empty
    int rateLimit = defaultRateLimit; // 0: no limit
    // The channel statement whose channel records give the versions; empty: none.
    QString channelsFile;

    // Reads the settings of an INI file; what it does not set keeps its value. Unknown settings
    // are reported as warnings.
    [[nodiscard]] bool load(const QString& fileName, QStringList& problems, QStringList& warnings);
    // Replaces the news by the content of a UTF-8 text file.
    [[nodiscard]] bool readNewsFile(const QString& fileName, QStringList& problems);

    // Why updaters could not read the replies; empty when they can.
    [[nodiscard]] QStringList problems() const;

    [[nodiscard]] bool hasBanner() const { return !bannerImage.isEmpty(); }
    [[nodiscard]] QByteArray versionListReply() const;
    [[nodiscard]] QByteArray newsReply() const;
    [[nodiscard]] QByteArray bannerReply() const;

    [[nodiscard]] static QString channelName(int channel);
    // Parsers of settings given as text; false leaves the value as it was.
    [[nodiscard]] static bool parsePort(const QString& text, quint16& port);
    [[nodiscard]] static bool parseRateLimit(const QString& text, int& limit);
    // Records "<setting>: "<text>" is not valid" unless valid.
    static void checkSetting(const QString& setting, const QString& text, bool valid,
                             QStringList& problems);

private:
    void checkVersions(QStringList& problems) const;
    void checkNews(QStringList& problems) const;
    void checkBanner(QStringList& problems) const;
    void readServer(QSettings& settings, const QString& baseDir, QStringList& problems);
    void readVersions(QSettings& settings, QStringList& problems);
    void readNewsAndBanner(QSettings& settings, const QString& baseDir, QStringList& problems);
};
