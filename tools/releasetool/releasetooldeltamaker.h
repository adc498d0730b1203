#pragma once

#include "releasemanifest.h"
#include "releasetoolearlierrelease.h"
#include "releasetoolmanifest.h"

#include <QList>
#include <QSemaphore>
#include <QSet>
#include <QString>
#include <QStringList>

// How much patches save against the whole files the mirrors would serve in their place.
struct ReleaseToolDeltaSavings
{
    qsizetype patches = 0;
    qint64 patchBytes = 0;
    qint64 wholeBytes = 0;
};

// Makes the binary deltas from earlier releases to a new one: for each file whose installed
// content changed, a patch below "<version>/patches/<source sha256>/" (suffix-array matches, or
// zstd's where that is smaller or the old file too large), kept only when it is at most half of
// what the mirrors serve for the whole file. Several files at a time, within a memory budget.
class ReleaseToolDeltaMaker
{
public:
    // threads: how many files are worked on at once; 0 means one per processor core.
    ReleaseToolDeltaMaker(QString mirrorRoot, QString clientType, int threads);

    // Finds the earlier releases (command-line texts) and what they install.
    [[nodiscard]] bool load(const QStringList& earlier);
    // Writes the patches to the written entries below versionDir. Stops at the first failure.
    [[nodiscard]] bool make(const QList<ReleaseToolEntry>& entries, const QString& versionDir);

    // In the order of the entries.
    [[nodiscard]] const QList<ReleaseManifestPatch>& patches() const { return madePatches; }
    // One line per earlier release, one for all and one for the memory it took.
    [[nodiscard]] QStringList summary() const;
    [[nodiscard]] const QString& errorString() const { return error; }

private:
    // A patch kept for one entry, and the earlier releases it serves.
    struct Made
    {
        ReleaseManifestPatch patch;
        QList<qsizetype> releases;
    };

    [[nodiscard]] QList<qsizetype> candidatesFor(const ReleaseToolEntry& entry) const;
    [[nodiscard]] int permitsFor(const ReleaseToolEntry& entry,
                                 const QList<qsizetype>& candidates) const;
    // Returns what went wrong, or an empty text.
    [[nodiscard]] QString makeFor(const ReleaseToolEntry& entry, const QString& versionDir,
                                  QList<Made>& made);
    [[nodiscard]] QString makeFrom(qsizetype releaseIndex, const ReleaseToolEntry& entry,
                                   const QByteArray& target, const QString& versionDir,
                                   QList<Made>& made, QSet<QByteArray>& tried) const;
    [[nodiscard]] static QString readTarget(const ReleaseToolEntry& entry, QByteArray& bytes);
    [[nodiscard]] static QString store(const QString& versionDir, const QByteArray& patch,
                                       ReleaseManifestPatch& record);
    void count(const QList<Made>& made, qint64 wholeBytes);
    [[nodiscard]] static QString describe(const QString& what,
                                          const ReleaseToolDeltaSavings& savings);

    QString mirrorRoot;
    QString clientType;
    int threads;
    QList<ReleaseToolEarlierRelease> releases;
    QSemaphore memory;
    QList<ReleaseManifestPatch> madePatches;
    QList<ReleaseToolDeltaSavings> savings; // per earlier release
    ReleaseToolDeltaSavings total;
    QString error;
};
