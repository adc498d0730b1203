#include "updateinidata.h"

#include "settingsfile.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

const QString group = u"current"_s;
const QString versionKey = u"version"_s;
const QString dirKey = u"dir"_s;
const QString typeKey = u"type"_s;
const QString journalKey = u"journal"_s;

} // namespace

QString UpdateIniData::filename(const InstallationLayout& installation)
{
    return SettingsFile::updateIniPath(installation);
}

bool UpdateIniData::get(const InstallationLayout& installation, int* version, QString* type,
                        QString* dir)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(group);
    bool versionValid = false;
    const int storedVersion = settings.value(versionKey).toInt(&versionValid);
    const QString storedDir = settings.value(dirKey).toString();
    const QString storedType = settings.value(typeKey).toString();
    settings.endGroup();

    if (!versionValid || storedType.isEmpty() || storedDir.isEmpty() ||
        !QFileInfo::exists(storedDir))
        return false;
    if (version)
        *version = storedVersion;
    if (type)
        *type = storedType;
    if (dir)
        *dir = storedDir;
    return true;
}

bool UpdateIniData::modify(const InstallationLayout& installation, int version, const QString& dir,
                           const QString& type, const QString& journal)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(group);
    settings.setValue(versionKey, version);
    settings.setValue(dirKey, dir);
    settings.setValue(typeKey, type);
    if (journal.isEmpty())
        settings.remove(journalKey);
    else
        settings.setValue(journalKey, journal);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

void UpdateIniData::cleanup(const InstallationLayout& installation)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.remove(group);
}
