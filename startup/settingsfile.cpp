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
