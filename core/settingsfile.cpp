// The INI settings files of an installation.
#include "settingsfile.h"

using namespace Qt::StringLiterals;

SettingsFile::SettingsFile(const QString& path)
    : QSettings(path, QSettings::IniFormat)
{
    readAllSections(*this);
}

SettingsFile SettingsFile::updateIni(const InstallationLayout& installation)
{
    return SettingsFile(updateIniPath(installation));
}

QString SettingsFile::updateIniPath(const InstallationLayout& installation)
{
    return installation.filePath(updateIniName());
}

const QString& SettingsFile::updateIniName()
{
    static const QString name = u"update.ini"_s;
    return name;
}

void SettingsFile::readAllSections(QSettings& settings)
{
    // Listing the keys from the top level parses all sections at once.
    static_cast<void>(settings.allKeys());
}

QString SettingsFile::readText(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.toString();
}

QString SettingsFile::alphaUrl(const QSettings& settings)
{
    return readText(settings, u"Channel/alpha"_s);
}
