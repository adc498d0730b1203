// The version refused after a failed first start, kept in "update.ini".

#include "refusedversion.h"

#include "settingsfile.h"

using namespace Qt::StringLiterals;

namespace {

const QString group = u"refused"_s;
const QString versionKey = u"version"_s;
const QString previousKey = u"previous"_s;
const QString reasonKey = u"reason"_s;
const QString toldKey = u"told"_s;

} // namespace

RefusedVersion RefusedVersion::read(const InstallationLayout& installation)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(group);
    RefusedVersion record;
    bool ok = false;
    record.version = qMax(0, settings.value(versionKey).toInt(&ok));
    if (!ok)
        return {};
    record.previous = qMax(0, settings.value(previousKey).toInt());
    record.reason = SettingsFile::readText(settings, reasonKey);
    record.told = settings.value(toldKey).toBool();
    return record;
}

bool RefusedVersion::write(const InstallationLayout& installation) const
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(group);
    settings.setValue(versionKey, version);
    settings.setValue(previousKey, previous);
    settings.setValue(reasonKey, reason);
    settings.setValue(toldKey, told);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}
