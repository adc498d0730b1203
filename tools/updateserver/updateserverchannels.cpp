#include "updateserverchannels.h"

#include "channelstatement.h"

#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

UpdateServerChannels::UpdateServerChannels(const UpdateServerConfig& config, QObject* parent)
    : QObject(parent)
    , fileName(config.channelsFile)
{
    for (int channel = 0; channel < UpdateServerConfig::channelCount; ++channel)
        configuredVersions.at(size_t(channel)) = config.versions.at(size_t(channel)).version;
}

void UpdateServerChannels::refresh(UpdateServerConfig& config)
{
    if (!hasChanged())
        return;
    ChannelStatement statement;
    QString why;
    if (read(statement, why))
        take(statement, config);
    else
        reject(why);
}

void UpdateServerChannels::reject(const QString& why)
{
    emit message(u"channel statement %1 not taken, the versions stay: %2"_s.arg(fileName, why));
}

// A stat per query is cheap, and a vendor rewriting the file on a timer needs no watcher. It is
// taken before reading, so that a file changed during the read is read again.
bool UpdateServerChannels::hasChanged()
{
    const QFileInfo info(fileName);
    const qint64 size = info.size();
    const QDateTime modified = info.lastModified();
    if (size == lastSize && modified == lastModified)
        return false;
    lastSize = size;
    lastModified = modified;
    return true;
}

bool UpdateServerChannels::read(ChannelStatement& statement, QString& why) const
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        why = file.errorString();
        return false;
    }
    // One byte more than the reader takes, so that it reports a file too long.
    if (statement.parse(file.read(ChannelStatement::maxSize + 1)))
        return true;
    why = statement.errorString();
    return false;
}

void UpdateServerChannels::take(const ChannelStatement& statement, UpdateServerConfig& config)
{
    UpdateServerConfig next = config;
    QStringList listed;
    QStringList unlisted;
    for (int channel = 0; channel < UpdateServerConfig::channelCount; ++channel) {
        const QString name = UpdateServerConfig::channelName(channel);
        const int version = statement.version(name);
        next.versions.at(size_t(channel)).version =
                version > 0 ? QString::number(version) : configuredVersions.at(size_t(channel));
        if (version > 0)
            listed.append(name + u' ' + QString::number(version));
        else
            unlisted.append(name);
    }
    // The names come from the configuration; with the new versions they must still fit.
    if (const QStringList problems = next.problems(); !problems.isEmpty()) {
        reject(problems.constFirst());
        return;
    }
    if (!taken || next.versions != config.versions) {
        taken = true;
        config.versions = next.versions;
        emit message(u"channel statement %1: %2"_s.arg(fileName, listed.join(u", "_s)));
    }
    reportUnlisted(unlisted);
}

void UpdateServerChannels::reportUnlisted(const QStringList& channels)
{
    if (channels == lastUnlisted)
        return;
    lastUnlisted = channels;
    if (!channels.isEmpty())
        emit message(
                u"channel statement %1 does not list %2: answered from the configuration"_s.arg(
                        fileName, channels.join(u", "_s)));
}
