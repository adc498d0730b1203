#include "mirrorsini.h"

#include "settingsfile.h"

#include <QSettings>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// The indexes (from 0) of the entries of the array just begun that exist and lie below its size,
// in order. Walking every index up to "size" instead would let one wrong number keep the reader
// busy for hours; an index without an entry names no mirror either way.
QList<int> presentIndexes(const QSettings& settings, int size)
{
    QList<int> indexes;
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        bool ok = false;
        const int number = group.toInt(&ok);
        if (ok && number >= 1 && number <= size)
            indexes.append(number - 1);
    }
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    return indexes;
}

// A positive 32-bit int, or fallback.
qint32 readCount(const QSettings& settings, const QString& key, qint32 fallback)
{
    bool ok = false;
    const uint value = settings.value(key, fallback).toUInt(&ok);
    const auto count = static_cast<qint32>(value);
    return ok && count > 0 ? count : fallback;
}

bool readSwitch(const QSettings& settings, const QString& key)
{
    const QString value = SettingsFile::readText(settings, key).trimmed();
    return value.compare(u"true"_s, Qt::CaseInsensitive) == 0 || value == u"1"_s;
}

} // namespace

QString MirrorsIni::fileName()
{
    return u"mirrors.ini"_s;
}

QStringList MirrorsIni::names(QSettings& settings)
{
    // Callers may open the file themselves (the release tool does).
    SettingsFile::readAllSections(settings);
    QStringList found;
    const int size = settings.beginReadArray(u"mirrors"_s);
    for (const int index : presentIndexes(settings, size)) {
        settings.setArrayIndex(index);
        const QString name = SettingsFile::readText(settings, u"mirror"_s).trimmed();
        if (!name.isEmpty())
            found.append(name);
    }
    settings.endArray();
    return found;
}

MirrorsIniSection MirrorsIni::section(QSettings& settings, const QString& name)
{
    const QString prefix = name + u'/';
    return {SettingsFile::readText(settings, prefix + u"url"_s),
            readCount(settings, prefix + u"retries"_s, defaultRetries),
            readCount(settings, prefix + u"slots"_s, 0), readSwitch(settings, prefix + u"http2"_s)};
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
