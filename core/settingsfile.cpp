#include "settingsfile.h"

#include "configuration.h"

using namespace Qt::StringLiterals;

AppRootSettings::AppRootSettings(const QString& fileName)
    : QSettings(Configuration::getAppRootFilePath(fileName), QSettings::IniFormat)
{}

AppRootSettings AppRootSettings::updateIni()
{
    return AppRootSettings(u"update.ini"_s);
}

QString AppRootSettings::readText(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.toString();
}
