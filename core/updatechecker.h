#pragma once

#include "updatechannel.h"

#include <QList>
#include <QPair>
#include <QString>

#include <chrono>

// Asks the update server over UDP which client version is current on each channel and which
// news to show. Replies count only from the address and port asked. Blocking; used once during
// start-up, before the window is shown.
class UpdateChecker
{
public:
    using VersionEntry = QPair<QString, QString>; // (version text, version name)

    static constexpr quint16 defaultPort = 17384;
    static constexpr std::chrono::milliseconds defaultReceiveTimeout{5000};
    static constexpr int versionReplySize = 511;
    static constexpr int newsReplySize = 4095;

    [[nodiscard]] static QString defaultHost();

    explicit UpdateChecker(QString host = defaultHost(), quint16 port = defaultPort,
                           std::chrono::milliseconds receiveTimeout = defaultReceiveTimeout);

    QList<VersionEntry> versions;
    QString news;

    [[nodiscard]] bool checkUpdate();
    [[nodiscard]] bool readFromServer();
    [[nodiscard]] VersionEntry getClientVersionByChannel(UpdateChannel channel) const;

    // Splits a version-list reply ("5#Five,6,,7#a#b") into its entries, empty ones included.
    [[nodiscard]] static QList<VersionEntry> parseVersionList(const QString& reply);

private:
    QString host;
    quint16 port;
    std::chrono::milliseconds receiveTimeout;
};
