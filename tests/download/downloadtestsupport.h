#pragma once

#include "httpserver.h"
#include "installationlayout.h"
#include "mirrors.h"
#include "sessionlayout.h"
#include "sharedrandom.h"
#include "signallog.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <utility>

// Helpers shared by the download tests.

struct MirrorEntry
{
    QString name;
    QString url;
    QString retries;       // left out of the file when empty
    QByteArray extra = {}; // further lines of the section
};

// Writes a "mirrors.ini" with the given mirrors the way a release ships it.
inline bool writeMirrorsFile(const QString& path, const QList<MirrorEntry>& entries)
{
    QByteArray text = "[mirrors]\nsize=" + QByteArray::number(entries.size()) + '\n';
    for (qsizetype i = 0; i < entries.size(); ++i)
        text += QByteArray::number(i + 1) + "\\mirror=" + entries.at(i).name.toUtf8() + '\n';
    for (const MirrorEntry& entry : entries) {
        text += "\n[" + entry.name.trimmed().toUtf8() + "]\nurl=" + entry.url.toUtf8() + '\n';
        if (!entry.retries.isEmpty())
            text += "retries=" + entry.retries.toUtf8() + '\n';
        text += entry.extra;
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

// Seeds the shared generator so that its next draws, each below its bound, come out as wanted:
// this fixes which mirror the next downloads choose.
inline bool arrangeDraws(const QList<std::pair<quint32, quint32>>& draws)
{
    for (quint32 seed = 1; seed < 100000; ++seed) {
        QRandomGenerator probe(seed);
        if (std::all_of(draws.cbegin(), draws.cend(),
                        [&](const auto& d) { return probe.bounded(d.first) == d.second; })) {
            SharedRandom::seed(seed);
            return true;
        }
    }
    return false;
}

// size bytes of a pattern that differs with seed.
inline QByteArray patternBytes(qsizetype size, char seed = 'a')
{
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char(seed + i % 23);
    return data;
}

inline QByteArray fileContent(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QStringList withoutProgress(QStringList events)
{
    events.removeIf([](const QString& e) { return e.contains(QStringLiteral(" progress ")); });
    return events;
}

// What every download test works against: a temporary directory, a loopback server that holds
// the mirrors (mirror m answers below "/m/7/"), the access manager, the run's mirror list and a
// log in which the mirror list's lines appear as "mirrors message <text>".
struct DownloadFixture
{
    static constexpr int version = 7;

    QTemporaryDir dir;
    TestHttpServer server;
    QNetworkAccessManager manager;
    Mirrors mirrors;
    SignalLog log;

    DownloadFixture()
    {
        log.watch(&mirrors, &Mirrors::message, [](const QString& text) -> QString {
            return QStringLiteral("mirrors message ") + text;
        });
    }

    [[nodiscard]] MirrorEntry mirror(const QString& name, const QString& retries = {}) const
    {
        return {name, server.urlText(u'/' + name), retries};
    }

    [[nodiscard]] bool setUpMirrors(const QList<MirrorEntry>& entries)
    {
        const QString file = dir.filePath(QStringLiteral("mirrors.ini"));
        return writeMirrorsFile(file, entries) && mirrors.initDefault(file, version);
    }

    [[nodiscard]] bool setUpMirrors(const QStringList& names)
    {
        QList<MirrorEntry> entries;
        for (const QString& name : names)
            entries.append(mirror(name));
        return setUpMirrors(entries);
    }

    // Makes "temp", the session directory of the downloads, and points session at it.
    [[nodiscard]] bool makeSessionDirectory(SessionLayout& session) const
    {
        if (!QDir(dir.path()).mkdir(QStringLiteral("temp")))
            return false;
        session = SessionLayout(dir.filePath(QStringLiteral("temp")));
        return true;
    }

    // The installation the downloads belong to; only a patch's apply reads from it.
    [[nodiscard]] InstallationLayout installation() const
    {
        return InstallationLayout(dir.filePath(QStringLiteral("root")));
    }

    // The path under which mirror m serves a file.
    [[nodiscard]] static QString path(const QString& mirror, const QString& remote)
    {
        return QStringLiteral("/%1/%2/%3").arg(mirror).arg(version).arg(remote);
    }

    [[nodiscard]] int usedSlots() const
    {
        int used = 0;
        for (const FTPSiteAccessData& site : mirrors.list())
            used += site.inUse;
        return used;
    }
};

// Delivers everything posted so far, queued slot calls included.
inline void flushPostedEvents()
{
    bool reached = false;
    QObject context;
    QMetaObject::invokeMethod(
            &context, [&reached] { reached = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(reached);
}
