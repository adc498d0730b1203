#include "rolloutbucket.h"

#include "channelstatement.h"
#include "settingsfile.h"

#include <QRandomGenerator>

using namespace Qt::StringLiterals;

int RolloutBucket::read(const InstallationLayout& installation, bool* written)
{
    if (written)
        *written = true;
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(u"rollout"_s);
    bool ok = false;
    const int kept = settings.value(u"bucket"_s).toInt(&ok);
    if (ok && kept >= 0 && kept < ChannelStatement::shareScale)
        return kept;
    const int drawn = int(QRandomGenerator::system()->bounded(ChannelStatement::shareScale));
    settings.setValue(u"bucket"_s, drawn);
    settings.endGroup();
    settings.sync();
    if (written)
        *written = settings.status() == QSettings::NoError;
    return drawn;
}
