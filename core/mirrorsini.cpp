#include "mirrorsini.h"

#include "settingsfile.h"

#include <QSettings>

using namespace Qt::StringLiterals;

namespace {

qint32 readRetries(const QSettings& settings, const QString& key)
{
    bool ok = false;
    const uint value = settings.value(key, MirrorsIni::defaultRetries).toUInt(&ok);
    const auto retries = static_cast<qint32>(value);
    return ok && retries > 0 ? retries : MirrorsIni::defaultRetries;
}

} // namespace

QString MirrorsIni::fileName()
{
    return u"mirrors.ini"_s;
}

QStringList MirrorsIni::names(QSettings& settings)
{
    QStringList found;
    const int count = settings.beginReadArray(u"mirrors"_s);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        const QString name = AppRootSettings::readText(settings, u"mirror"_s).trimmed();
        if (!name.isEmpty())
            found.append(name);
    }
    settings.endArray();
    return found;
}

MirrorsIniSection MirrorsIni::section(QSettings& settings, const QString& name)
{
    const QString prefix = name + u'/';
    return {AppRootSettings::readText(settings, prefix + u"url"_s),
            readRetries(settings, prefix + u"retries"_s)};
}

QStringList MirrorsIni::urls(QSettings& settings)
{
    QStringList found;
    for (const QString& name : names(settings)) {
        QString url = section(settings, name).url;
        if (!url.isEmpty())
            found.append(std::move(url));
    }
    return found;
}
