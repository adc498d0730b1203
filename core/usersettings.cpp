#include "usersettings.h"

#include "settingsfile.h"

using namespace Qt::StringLiterals;

UserSettings UserSettings::read(const InstallationLayout& installation)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(u"update"_s);
    UserSettings read;
    read.proxy = settings.value(u"proxy"_s).toString();
    read.streamsGiven = settings.contains(u"streams"_s);
    read.streams = settings.value(u"streams"_s, defaultStreams).toInt();
    if (read.streams < 1) {
        read.streams = defaultStreams;
        read.streamsGiven = false;
    }
    return read;
}
