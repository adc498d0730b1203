#pragma once

#include "updateserverconfig.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

class ChannelStatement;

// The channel statement the vendor refreshes beside the server. Updaters asking over UDP know
// nothing of rollouts, so each channel answers the version of the installations outside them: its
// channel record. The signature is not checked: the server holds no channel key, and the file is
// the vendor's own.
class UpdateServerChannels : public QObject
{
    Q_OBJECT

public:
    // config gives the versions of the channels a statement does not list.
    UpdateServerChannels(const UpdateServerConfig& config, QObject* parent = nullptr);

    // Reads the statement again when its size or modification time changed since the last read
    // and takes its versions into config; a statement that cannot be taken leaves them.
    void refresh(UpdateServerConfig& config);

signals:
    void message(QString line);

private:
    [[nodiscard]] bool hasChanged();
    [[nodiscard]] bool read(ChannelStatement& statement, QString& why) const;
    void take(const ChannelStatement& statement, UpdateServerConfig& config);
    void reject(const QString& why);
    void reportUnlisted(const QStringList& channels);

    QString fileName;
    std::array<QString, UpdateServerConfig::channelCount> configuredVersions;
    qint64 lastSize = -1;
    QDateTime lastModified;
    bool taken = false;
    std::optional<QStringList> lastUnlisted;
};
