#include "usersettings.h"

#include "settingsfile.h"

using namespace Qt::StringLiterals;

UserSettings UserSettings::read()
{
    auto settings = AppRootSettings::updateIni();
    settings.beginGroup(u"update"_s);
    UserSettings read;
    read.proxy = settings.value(u"proxy"_s).toString();
    read.streams = settings.value(u"streams"_s, defaultStreams).toInt();
    if (read.streams < 1)
        read.streams = defaultStreams;
    return read;
}
