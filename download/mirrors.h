#pragma once

#include "mirrorsini.h"

#include <QList>
#include <QObject>
#include <QString>

class QSettings;

// One mirror web server of the run, handed out by copy.
struct FTPSiteAccessData
{
    QString name;
    // Base URL of the target version's directory: the configured URL, "/", the version number.
    QString url;
    // Failures tolerated; the one that makes errors exceed it removes the mirror.
    qint32 retries = 0;
    // Ticks without data after which a transfer from this mirror is given up.
    qint32 timeout = 15;
    qint32 errors = 0;
    qint32 inUse = 0;
    // The downloads among inUse that have a connection of their own (all but HTTP/2 streams).
    qint32 connectionsInUse = 0;
    // Downloads served at once: the mirror's "slots", else its share of the run's streams.
    qint32 maxUse = 1;
    // The "slots" of its section; 0 when it has none.
    qint32 fixedSlots = 0;
    // The mirror speaks HTTP/2: with prior knowledge on plain http, negotiated on https.
    bool http2 = false;
};

// The mirrors of one update run, read from "mirrors.ini" (or, on the alpha channel, from
// "update.ini"). Picks a mirror with a free download slot at random for every download, counts
// failures and drops mirrors that failed too often. Entries are only ever removed. The run's
// streams are shared out as slots over the mirrors left, so that that many downloads run at
// once. GUI thread only.
class Mirrors : public QObject
{
    Q_OBJECT

public:
    // What getRandomMirror() found.
    enum Choice { Chosen = 0, NoMirrorLeft = 1, AllSlotsBusy = 2 };

    static constexpr qint32 defaultRetries = MirrorsIni::defaultRetries;
    static constexpr qint32 alphaRetries = 4;
    // Over HTTP/1.1 every download needs a connection of its own; Qt opens at most this many to
    // one host, and a mirror should not be pressed with more.
    static constexpr qint32 http1SlotLimit = 6;
    // The streams Qt runs at once on one HTTP/2 connection.
    static constexpr qint32 http2SlotLimit = 100;

    explicit Mirrors(QObject* parent = nullptr);

    // From the settings file at path: an installation's "mirrors.ini", or its "update.ini" on
    // the alpha channel.
    [[nodiscard]] bool initDefault(const QString& path, int version);
    [[nodiscard]] bool initAlpha(const QString& path, int version);
    void setDefaults(QSettings& settings, int version);
    // Shares streams out as slots: a mirror with "slots" keeps them, the others get what is left
    // in equal parts, each at least one and none beyond its protocol's limit. Done again
    // whenever a mirror is removed. With streamsUnbounded, an HTTP/2 mirror without "slots"
    // takes as many streams as one connection carries, whatever streams says, which then
    // counts the HTTP/1.1 mirrors' connections alone. A web proxy speaks HTTP/1.1 for plain
    // http addresses: through one, only https mirrors keep HTTP/2.
    void shareSlots(int streams, bool throughProxy = false, bool streamsUnbounded = false);
    // The streams the HTTP/2 mirrors take beyond the shared-out streams: 0 unless unbounded.
    [[nodiscard]] int ownStreamSlots() const;

    // On Chosen, site holds a copy of the chosen mirror, whose slot is now taken. A multiplexable
    // download may travel as one more stream of an HTTP/2 mirror; any other needs a connection of
    // its own, of which a mirror has at most http1SlotLimit.
    [[nodiscard]] Choice getRandomMirror(FTPSiteAccessData& site, bool multiplexable = false);
    // Gives back the slot of a download chosen with the same multiplexable; slotFreed() follows.
    void releaseMirror(const QString& name, bool multiplexable = false);
    // Whether a download travels as an HTTP/2 stream of the mirror rather than on a connection of
    // its own.
    [[nodiscard]] static bool isStream(const FTPSiteAccessData& site, bool multiplexable)
    {
        return multiplexable && site.http2;
    }
    void addMirrorError(const QString& name);
    void removeMirror(const QString& name);
    [[nodiscard]] int getMirrorIndex(const QString& name) const;

    [[nodiscard]] const QList<FTPSiteAccessData>& list() const { return mirrors; }
    // The version whose directory the mirrors' URLs name.
    [[nodiscard]] int version() const { return targetVersion; }

signals:
    void message(QString message);
    void fatalError(QString errorMessage);
    // A slot was given back, or the slots were shared out anew: a download that found all slots
    // busy may look again.
    void slotFreed();

private:
    [[nodiscard]] FTPSiteAccessData* find(const QString& name);
    void reshareSlots();
    [[nodiscard]] static qint32 slotLimit(const FTPSiteAccessData& site);
    [[nodiscard]] static qint32 freeSlots(const FTPSiteAccessData& site, bool multiplexable);

    QList<FTPSiteAccessData> mirrors;
    int streams = 0;
    bool unboundedStreams = false;
    int targetVersion = 0;
    bool noMirrorsReported = false;
};
