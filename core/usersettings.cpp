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
    bool ok = false;
    const int probation = settings.value(u"probation"_s).toInt(&ok);
    if (ok && probation >= 0)
        read.probation = std::chrono::seconds(probation);
    return read;
}
