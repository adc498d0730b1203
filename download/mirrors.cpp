#include "mirrors.h"

#include "mirrorsini.h"
#include "settingsfile.h"
#include "sharedrandom.h"

#include <QSettings>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

QString versionUrl(QString baseUrl, int version)
{
    if (!baseUrl.endsWith(u'/'))
        baseUrl += u'/';
    return baseUrl + QString::number(version);
}

} // namespace

Mirrors::Mirrors(QObject* parent)
    : QObject(parent)
{}

bool Mirrors::initDefault(const QString& path, int version)
{
    SettingsFile settings(path);
    for (const QString& name : MirrorsIni::names(settings)) {
        FTPSiteAccessData site;
        site.name = name;
        mirrors.append(site);
    }
    setDefaults(settings, version);
    return true;
}

void Mirrors::setDefaults(QSettings& settings, int version)
{
    targetVersion = version;
    for (FTPSiteAccessData& site : mirrors) {
        const MirrorsIniSection section = MirrorsIni::section(settings, site.name);
        site.url = versionUrl(section.url, version);
        site.retries = section.retries;
        site.fixedSlots = section.downloadSlots;
        site.http2 = section.http2;
    }
    reshareSlots();
}

void Mirrors::shareSlots(int streams, bool throughProxy, bool streamsUnbounded)
{
    this->streams = streams;
    unboundedStreams = streamsUnbounded;
    if (throughProxy) {
        for (FTPSiteAccessData& site : mirrors)
            site.http2 = site.http2 && QUrl(site.url).scheme() == u"https"_s;
    }
    reshareSlots();
}

void Mirrors::reshareSlots()
{
    int open = streams;
    QList<FTPSiteAccessData*> sharing;
    for (FTPSiteAccessData& site : mirrors) {
        // Unbounded, streams counts the HTTP/1.1 mirrors' connections alone; an HTTP/2 mirror's
        // own server holds back the streams beyond its limit on concurrent ones.
        const bool ownStreams = unboundedStreams && site.http2;
        if (site.fixedSlots > 0) {
            site.maxUse = qMin(site.fixedSlots, slotLimit(site));
            open -= ownStreams ? 0 : site.maxUse;
        } else if (ownStreams) {
            site.maxUse = http2SlotLimit;
        } else {
            // Every mirror serves, however few streams are left for it.
            site.maxUse = 1;
            open -= 1;
            sharing.append(&site);
        }
    }
    // One slot at a time round the mirrors, so that the shares differ by one at most.
    bool given = true;
    while (open > 0 && given) {
        given = false;
        for (FTPSiteAccessData* site : std::as_const(sharing)) {
            if (open > 0 && site->maxUse < slotLimit(*site)) {
                ++site->maxUse;
                --open;
                given = true;
            }
        }
    }
}

int Mirrors::ownStreamSlots() const
{
    int total = 0;
    for (const FTPSiteAccessData& site : mirrors) {
        if (unboundedStreams && site.http2)
            total += site.maxUse;
    }
    return total;
}

qint32 Mirrors::slotLimit(const FTPSiteAccessData& site)
{
    return site.http2 ? http2SlotLimit : http1SlotLimit;
}

qint32 Mirrors::freeSlots(const FTPSiteAccessData& site, bool multiplexable)
{
    // A share made smaller while its downloads run frees nothing until they end.
    const qint32 free = qMax(0, site.maxUse - site.inUse);
    if (isStream(site, multiplexable))
        return free;
    // Qt queues what goes beyond its connections to a host, where it would time out unserved.
    return qMin(free, qMax(0, http1SlotLimit - site.connectionsInUse));
}

bool Mirrors::initAlpha(const QString& path, int version)
{
    const SettingsFile settings(path);
    const QString alpha = SettingsFile::alphaUrl(settings);
    if (alpha.isEmpty()) {
        emit fatalError(u"Alpha parameter in channel section in update ini file not found"_s);
        return false;
    }
    FTPSiteAccessData site;
    site.name = u"Alpha Channel"_s;
    site.url = versionUrl(alpha, version);
    targetVersion = version;
    site.retries = alphaRetries;
    mirrors.append(site);
    return true;
}

Mirrors::Choice Mirrors::getRandomMirror(FTPSiteAccessData& site, bool multiplexable)
{
    if (mirrors.isEmpty()) {
        if (!noMirrorsReported) {
            noMirrorsReported = true;
            emit message(tr("There are no (more) known working mirrors available"));
        }
        return NoMirrorLeft;
    }
    qint64 free = 0;
    for (const FTPSiteAccessData& candidate : std::as_const(mirrors))
        free += freeSlots(candidate, multiplexable);
    if (free <= 0)
        return AllSlotsBusy;

    // Every free slot is equally likely, so a mirror's chance follows its free slots.
    auto r = static_cast<qint64>(SharedRandom::bounded(static_cast<quint32>(free)));
    for (FTPSiteAccessData& candidate : mirrors) {
        r -= freeSlots(candidate, multiplexable);
        if (r < 0) {
            ++candidate.inUse;
            if (!isStream(candidate, multiplexable))
                ++candidate.connectionsInUse;
            site = candidate;
            return Chosen;
        }
    }
    return NoMirrorLeft;
}

void Mirrors::releaseMirror(const QString& name, bool multiplexable)
{
    FTPSiteAccessData* site = find(name);
    if (site == nullptr)
        return;
    // Never more free slots than the mirror offers, whatever a caller gives back.
    if (site->inUse > 0)
        --site->inUse;
    if (!isStream(*site, multiplexable) && site->connectionsInUse > 0)
        --site->connectionsInUse;
    emit slotFreed();
}

void Mirrors::addMirrorError(const QString& name)
{
    FTPSiteAccessData* site = find(name);
    if (site == nullptr)
        return;
    ++site->errors;
    if (site->errors > site->retries) {
        emit message(tr("Mirror %1 failed too many times, removing").arg(site->name));
        removeMirror(name);
    }
}

void Mirrors::removeMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    mirrors.removeAt(index);
    // The streams go on running, over the mirrors that are left.
    reshareSlots();
    emit slotFreed();
}

int Mirrors::getMirrorIndex(const QString& name) const
{
    for (qsizetype i = 0; i < mirrors.size(); ++i) {
        if (mirrors.at(i).name == name)
            return static_cast<int>(i);
    }
    return -1;
}

FTPSiteAccessData* Mirrors::find(const QString& name)
{
    const int index = getMirrorIndex(name);
    return index >= 0 ? &mirrors[index] : nullptr;
}
