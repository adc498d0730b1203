#include "releasetooldeltamaker.h"

#include "releasetoolmanifestwriter.h"
#include "releasetoolnames.h"
#include "releasetoolparallel.h"
#include "sha256.h"
#include "suffixpatch.h"
#include "wholefile.h"
#include "zstdpatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 mebibyte = 1024 * 1024;
// Jobs together claim at most this much, so that several large files at once do not exhaust a
// build machine; a job that needs more runs alone.
constexpr int memoryBudgetMiB = 3072;
// Suffix-array patches are the smaller ones for programs, but their index takes four bytes per
// byte of the old file; beyond this, zstd's patches keep a job within the budget.
constexpr qint64 suffixUpTo = 384 * mebibyte;
// Up to here zstd's patch is made as well, and the smaller one kept: on data rather than code it
// may win, and making it is quick.
constexpr qint64 bothUpTo = 16 * mebibyte;

struct Patch
{
    QByteArray bytes;
    BinaryPatch::Method method = BinaryPatch::Method::Zstd;
};

QString makePatch(QByteArrayView source, QByteArrayView target, Patch& patch)
{
    if (source.size() <= suffixUpTo) {
        Result<QByteArray> suffix = SuffixPatch::make(source, target);
        if (!suffix.ok())
            return suffix.failure().text;
        patch.bytes = std::move(suffix).value();
        patch.method = SuffixPatch::methodOf(patch.bytes);
        if (source.size() > bothUpTo || target.size() > bothUpTo)
            return {};
    }
    Result<QByteArray> zstd = ZstdPatch::make(source, target);
    if (!zstd.ok())
        return zstd.failure().text;
    if (patch.bytes.isEmpty() || zstd.value().size() < patch.bytes.size())
        patch = {std::move(zstd).value(), BinaryPatch::Method::Zstd};
    return {};
}

QString fileSuffixOf(BinaryPatch::Method method)
{
    return method == BinaryPatch::Method::Zstd ? u".zstpatch"_s : u".sufpatch"_s;
}

// The largest this process has been, in bytes.
qint64 peakMemory()
{
    rusage usage{};
    return getrusage(RUSAGE_SELF, &usage) == 0 ? qint64(usage.ru_maxrss) * 1024 : 0;
}

const ReleaseToolDigest& installedDigest(const ReleaseToolEntry& entry)
{
    return entry.compressed ? entry.unpacked : entry.stored;
}

void add(ReleaseToolDeltaSavings& savings, qint64 patchBytes, qint64 wholeBytes)
{
    ++savings.patches;
    savings.patchBytes += patchBytes;
    savings.wholeBytes += wholeBytes;
}

QString sizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

} // namespace

ReleaseToolDeltaMaker::ReleaseToolDeltaMaker(QString mirrorRoot, QString clientType, int threads)
    : mirrorRoot(std::move(mirrorRoot))
    , clientType(std::move(clientType))
    , threads(threads > 0 ? threads : QThread::idealThreadCount())
    , memory(memoryBudgetMiB)
{}

bool ReleaseToolDeltaMaker::load(const QStringList& earlier)
{
    for (const QString& text : earlier) {
        ReleaseToolEarlierRelease release(text, mirrorRoot, clientType);
        if (!release.load()) {
            error = release.errorString();
            return false;
        }
        releases.append(std::move(release));
    }
    savings.resize(releases.size());
    return true;
}

bool ReleaseToolDeltaMaker::make(const QList<ReleaseToolEntry>& entries, const QString& versionDir)
{
    if (releases.isEmpty())
        return true;
    QList<QList<Made>> made(entries.size());
    QList<Made>* const data = made.data();
    error = releaseToolFirstFailure(threads, entries.size(), [&](qsizetype index) {
        return makeFor(entries.at(index), versionDir, data[index]);
    });
    if (!error.isEmpty())
        return false;
    for (qsizetype i = 0; i < entries.size(); ++i)
        count(made.at(i), entries.at(i).stored.size);
    return true;
}

// The earlier releases that install the file with content that may differ from the new one.
QList<qsizetype> ReleaseToolDeltaMaker::candidatesFor(const ReleaseToolEntry& entry) const
{
    const ReleaseToolDigest& installed = installedDigest(entry);
    if (installed.size > BinaryPatch::maxFileSize)
        return {};
    QList<qsizetype> candidates;
    for (qsizetype i = 0; i < releases.size(); ++i) {
        const ReleaseToolEarlierFile* file = releases.at(i).file(entry.installedPath);
        if (!file || file->installedSize > BinaryPatch::maxFileSize)
            continue;
        // A version on the mirror tells its content without being read.
        if (file->listed && file->installedSize == installed.size &&
            WholeFile::sameDigest(installed.md5, file->installedMd5))
            continue;
        candidates.append(i);
    }
    return candidates;
}

// The job holds the old file, the new one and the patch. A suffix-array patch adds four bytes per
// old byte for the index and about the new file again for its streams; libzstd adds a window
// over both and its match tables, together about as much again.
int ReleaseToolDeltaMaker::permitsFor(const ReleaseToolEntry& entry,
                                      const QList<qsizetype>& candidates) const
{
    qint64 largestSource = 0;
    for (const qsizetype index : candidates) {
        const ReleaseToolEarlierFile* file = releases.at(index).file(entry.installedPath);
        largestSource = std::max(largestSource, file->installedSize + file->storedSize);
    }
    const qint64 target = installedDigest(entry).size;
    const qint64 bytes = largestSource <= suffixUpTo ? 6 * largestSource + 3 * target
                                                     : 3 * (largestSource + target);
    return int(std::clamp<qint64>((bytes + mebibyte - 1) / mebibyte, 1, memoryBudgetMiB));
}

QString ReleaseToolDeltaMaker::makeFor(const ReleaseToolEntry& entry, const QString& versionDir,
                                       QList<Made>& made)
{
    const QList<qsizetype> candidates = candidatesFor(entry);
    if (candidates.isEmpty())
        return {};
    const int permits = permitsFor(entry, candidates);
    memory.acquire(permits);
    const QSemaphoreReleaser releaser(memory, permits);
    QByteArray target;
    QString problem = readTarget(entry, target);
    QSet<QByteArray> tried; // sources whose patch was made, whether it was kept or not
    for (qsizetype i = 0; problem.isEmpty() && i < candidates.size(); ++i)
        problem = makeFrom(candidates.at(i), entry, target, versionDir, made, tried);
    return problem;
}

QString ReleaseToolDeltaMaker::makeFrom(qsizetype releaseIndex, const ReleaseToolEntry& entry,
                                        const QByteArray& target, const QString& versionDir,
                                        QList<Made>& made, QSet<QByteArray>& tried) const
{
    const ReleaseToolEarlierRelease& release = releases.at(releaseIndex);
    QByteArray source;
    const QString problem = release.readInstalled(*release.file(entry.installedPath), source);
    if (!problem.isEmpty())
        return problem;
    const QByteArray sourceSha256 = Sha256::hexOf(source);
    if (sourceSha256 == installedDigest(entry).sha256)
        return {};
    // Identical old content in two earlier releases is served by the same patch.
    const auto same = std::find_if(made.begin(), made.end(), [&](const Made& one) {
        return one.patch.sourceSha256 == sourceSha256;
    });
    if (same != made.end())
        same->releases.append(releaseIndex);
    if (same != made.end() || tried.contains(sourceSha256))
        return {};
    tried.insert(sourceSha256);
    Patch patch;
    const QString why = makePatch(source, target, patch);
    if (!why.isEmpty())
        return u"cannot make the delta of %1: %2"_s.arg(
                ReleaseToolNames::display(entry.installedPath), why);
    // Fetching a larger one saves too little to be worth a second kind of download.
    if (patch.bytes.size() * 2 > entry.stored.size)
        return {};
    const QString targetPath = ReleaseToolManifestWriter::fileOf(entry).path;
    ReleaseManifestPatch record{targetPath,
                                sourceSha256,
                                u"patches/%1/%2%3"_s.arg(QString::fromLatin1(sourceSha256),
                                                         targetPath, fileSuffixOf(patch.method)),
                                {},
                                0,
                                patch.method,
                                patch.method == BinaryPatch::Method::Zstd &&
                                        ZstdPatch::needsLargeWindow(source.size(), target.size())};
    const QString stored = store(versionDir, patch.bytes, record);
    if (stored.isEmpty())
        made.append({record, {releaseIndex}});
    return stored;
}

// The installed content as written a moment ago; a patch to anything else would not give the
// digest the manifest lists.
QString ReleaseToolDeltaMaker::readTarget(const ReleaseToolEntry& entry, QByteArray& bytes)
{
    const QString shown = ReleaseToolNames::display(entry.installedPath);
    QFile file(entry.sourcePath);
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (!file.isOpen() || file.error() != QFile::NoError)
        return u"cannot read %1: %2"_s.arg(shown, file.errorString());
    if (Sha256::hexOf(bytes) != installedDigest(entry).sha256)
        return u"%1 changed while the version was written"_s.arg(shown);
    return {};
}

QString ReleaseToolDeltaMaker::store(const QString& versionDir, const QByteArray& patch,
                                     ReleaseManifestPatch& record)
{
    QFile file(versionDir + u'/' + record.path);
    const QString shown = ReleaseToolNames::display(file.fileName());
    if (!QDir().mkpath(QFileInfo(file.fileName()).path()) ||
        !file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        file.write(patch) != patch.size() || !file.flush())
        return u"cannot write %1: %2"_s.arg(shown, file.errorString());
    record.sha256 = Sha256::hexOf(patch);
    record.size = patch.size();
    return {};
}

void ReleaseToolDeltaMaker::count(const QList<Made>& made, qint64 wholeBytes)
{
    for (const Made& one : made) {
        madePatches.append(one.patch);
        add(total, one.patch.size, wholeBytes);
        for (const qsizetype index : one.releases)
            add(savings[index], one.patch.size, wholeBytes);
    }
}

QStringList ReleaseToolDeltaMaker::summary() const
{
    QStringList lines;
    for (qsizetype i = 0; i < releases.size(); ++i)
        lines.append(describe(u"deltas from %1"_s.arg(releases.at(i).label()), savings.at(i)));
    lines.append(describe(u"deltas in all"_s, total));
    // Making them is what may take a build machine's memory.
    lines.append(u"deltas made within %1 of memory"_s.arg(sizeText(peakMemory())));
    return lines;
}

QString ReleaseToolDeltaMaker::describe(const QString& what, const ReleaseToolDeltaSavings& savings)
{
    const double saved = savings.wholeBytes == 0
                                 ? 0.0
                                 : 100.0 * double(savings.wholeBytes - savings.patchBytes) /
                                           double(savings.wholeBytes);
    return u"%1: %2 %3, %4 in place of %5 (%6 % saved)"_s.arg(
            what, QString::number(savings.patches),
            savings.patches == 1 ? u"patch"_s : u"patches"_s, sizeText(savings.patchBytes),
            sizeText(savings.wholeBytes), QString::number(saved, 'f', 1));
}
