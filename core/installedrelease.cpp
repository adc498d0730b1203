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

InstalledRelease InstalledRelease::read(const InstallationLayout& installation)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(installedGroup);
    InstalledRelease record;
    record.version = readVersion(settings, versionKey);
    record.channel = SettingsFile::readText(settings, channelKey);
    record.released = QDateTime::fromString(settings.value(releasedKey).toString(), Qt::ISODate);
    if (record.channel.isEmpty())
        record.version = 0;
    return record;
}

bool InstalledRelease::write(const InstallationLayout& installation) const
{
    auto settings = SettingsFile::updateIni(installation);
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

int InstalledRelease::confirmedVersion(const InstallationLayout& installation,
                                       const QString& channel)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(confirmedGroup);
    return readVersion(settings, channel);
}

bool InstalledRelease::writeConfirmedVersion(const InstallationLayout& installation,
                                             const QString& channel, int version)
{
    return writeValue(installation, confirmedGroup, channel, version);
}

QDateTime InstalledRelease::confirmedStatementTime(const InstallationLayout& installation)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(statementGroup);
    return QDateTime::fromString(settings.value(signedKey).toString(), Qt::ISODate);
}

bool InstalledRelease::writeConfirmedStatementTime(const InstallationLayout& installation,
                                                   const QDateTime& signedAt)
{
    return writeValue(installation, statementGroup, signedKey, signedAt.toString(Qt::ISODate));
}

bool InstalledRelease::writeValue(const InstallationLayout& installation, const QString& group,
                                  const QString& key, const QVariant& value)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(group);
    settings.setValue(key, value);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}
