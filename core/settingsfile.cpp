#include "settingsfile.h"

#include "approot.h"

using namespace Qt::StringLiterals;

AppRootSettings::AppRootSettings(const QString& fileName)
    : QSettings(AppRoot::filePath(fileName), QSettings::IniFormat)
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
