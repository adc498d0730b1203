#include "settingsfile.h"

#include "approot.h"

using namespace Qt::StringLiterals;

AppRootSettings::AppRootSettings(const QString& fileName)
    : QSettings(AppRoot::filePath(fileName), QSettings::IniFormat)
{
    readAllSections(*this);
}

AppRootSettings AppRootSettings::updateIni()
{
    return AppRootSettings(u"update.ini"_s);
}

void AppRootSettings::readAllSections(QSettings& settings)
{
    // Listing the keys from the top level parses all sections at once.
    static_cast<void>(settings.allKeys());
}

QString AppRootSettings::readText(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.toString();
}

QString AppRootSettings::alphaUrl(const QSettings& settings)
{
    return readText(settings, u"Channel/alpha"_s);
}
