#include "installedrelease.h"

#include "settingsfile.h"

using namespace Qt::StringLiterals;

namespace {

const QString installedGroup = u"installed"_s;
const QString confirmedGroup = u"confirmed"_s;
const QString statementGroup = u"statement"_s;
const QString signedKey = u"signed"_s;
const QString versionKey = u"version"_s;
const QString channelKey = u"channel"_s;
const QString releasedKey = u"released"_s;

// A positive 32-bit number, or 0.
int readVersion(const QSettings& settings, const QString& key)
{
    bool ok = false;
    const int version = settings.value(key).toInt(&ok);
    return ok && version > 0 ? version : 0;
}

} // namespace

InstalledRelease InstalledRelease::read()
{
    auto settings = AppRootSettings::updateIni();
    settings.beginGroup(installedGroup);
    InstalledRelease record;
    record.version = readVersion(settings, versionKey);
    record.channel = AppRootSettings::readText(settings, channelKey);
    record.released = QDateTime::fromString(settings.value(releasedKey).toString(), Qt::ISODate);
    if (record.channel.isEmpty())
        record.version = 0;
    return record;
}

bool InstalledRelease::write() const
{
    auto settings = AppRootSettings::updateIni();
    settings.beginGroup(installedGroup);
    settings.setValue(versionKey, version);
    settings.setValue(channelKey, channel);
    if (released.isValid())
        settings.setValue(releasedKey, released.toString(Qt::ISODate));
    else
        settings.remove(releasedKey);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

int InstalledRelease::confirmedVersion(const QString& channel)
{
    auto settings = AppRootSettings::updateIni();
    settings.beginGroup(confirmedGroup);
    return readVersion(settings, channel);
}

bool InstalledRelease::writeConfirmedVersion(const QString& channel, int version)
{
    return writeValue(confirmedGroup, channel, version);
}

QDateTime InstalledRelease::confirmedStatementTime()
{
    auto settings = AppRootSettings::updateIni();
    settings.beginGroup(statementGroup);
    return QDateTime::fromString(settings.value(signedKey).toString(), Qt::ISODate);
}

bool InstalledRelease::writeConfirmedStatementTime(const QDateTime& signedAt)
{
    return writeValue(statementGroup, signedKey, signedAt.toString(Qt::ISODate));
}

bool InstalledRelease::writeValue(const QString& group, const QString& key, const QVariant& value)
{
    auto settings = AppRootSettings::updateIni();
    settings.beginGroup(group);
    settings.setValue(key, value);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}
