#include "inidownloadtaskspecification.h"

#include "checkmanifesttaskspecification.h"
#include "checksignaturetaskspecification.h"
#include "downloadtaskspecification.h"
#include "filesystem.h"
#include "paralleltaskspecification.h"
#include "releasemanifest.h"
#include "runcontext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

const QString signatureSuffix = u".sig"_s;
const QString fetchedPrefix = u".fetched."_s;
// The installed version's release in the session, beside the target's.
const QString newerPrefix = u".installed."_s;

// Missing reads as null, which equals no content of a file that exists.
[[nodiscard]] QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(
        QNetworkAccessManager* manager, Mirrors* mirrors, const RunContext& context,
        QObject* parent, double parentProgressRange, int maxRetries)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , manager(manager)
    , mirrors(mirrors)
    , context(context)
    , maxRetries(maxRetries)
    , retryTimer(new QTimer(this))
{
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &IniDownloadTaskSpecification::retry);
}

std::chrono::milliseconds IniDownloadTaskSpecification::retryDelay(int retry, double jitter)
{
    using std::chrono::milliseconds;
    if (retry <= immediateRetries)
        return milliseconds(0);
    // Doubled until it passes the cap; the shift stops long before it could overflow.
    const int doublings = std::min(retry - immediateRetries - 1, 16);
    const milliseconds full = std::min(firstRetryDelay * (1 << doublings), maxRetryDelay);
    const double kept = 1.0 - std::clamp(jitter, 0.0, 1.0) / 2;
    return milliseconds(qRound64(double(full.count()) * kept));
}

QString IniDownloadTaskSpecification::localIniPath() const
{
    return context.session.productIniPath(context.launch.clientType);
}

void IniDownloadTaskSpecification::execute()
{
    emit message(u"Download / check product ini"_s);
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    retryTimer->stop();
    retries = 0;
    manifestCheck = nullptr;
    newerCheck = nullptr;
    checkedManifest = ReleaseManifest();
    checkedNewerRelease = NewerRelease();
    resetWithoutSubTasks();
}

void IniDownloadTaskSpecification::userCanceled()
{
    ComposedTaskSpecification::userCanceled();
    // Between two attempts no subtask runs that could end this task.
    if (state() == Running && retryTimer->isActive()) {
        retryTimer->stop();
        userCancel();
    }
}

bool IniDownloadTaskSpecification::checksManifest() const
{
    return !context.manifestKey.isEmpty();
}

QString IniDownloadTaskSpecification::localManifestPath() const
{
    return context.session.manifestPath(context.launch.clientType);
}

bool IniDownloadTaskSpecification::fetchesNewerRelease() const
{
    return checksManifest() && context.launch.goingBackFrom != 0;
}

QString IniDownloadTaskSpecification::localNewerIniPath() const
{
    return context.session.filePath(newerPrefix + context.launch.clientType + u".ini"_s);
}

QString IniDownloadTaskSpecification::localNewerManifestPath() const
{
    return context.session.filePath(newerPrefix +
                                    ReleaseManifest::fileName(context.launch.clientType));
}

QString IniDownloadTaskSpecification::fetchedPath(const QString& localFile)
{
    const QFileInfo info(localFile);
    return info.path() + u'/' + fetchedPrefix + info.fileName();
}

// Into the names of fetchedPath(): the copies kept by an interrupted run stay untouched until
// the fresh ones have passed their checks.
QList<IniDownloadTaskSpecification::Fetch> IniDownloadTaskSpecification::filesToFetch() const
{
    return targetFetches() + newerFetches();
}

QList<IniDownloadTaskSpecification::Fetch> IniDownloadTaskSpecification::targetFetches() const
{
    const QString remoteIni = context.launch.clientType + u".ini"_s;
    const QString ini = fetchedPath(localIniPath());
    QList<Fetch> files = {
            {remoteIni, ini, DownloadTaskSpecification::maxProductIniSize},
            {remoteIni + signatureSuffix, ini + signatureSuffix,
             DownloadTaskSpecification::maxSignatureSize},
    };
    if (checksManifest()) {
        const QString remoteManifest = ReleaseManifest::fileName(context.launch.clientType);
        const QString manifest = fetchedPath(localManifestPath());
        files.append({remoteManifest, manifest, ReleaseManifest::maxSize});
        files.append({remoteManifest + signatureSuffix, manifest + signatureSuffix,
                      DownloadTaskSpecification::maxSignatureSize});
    }
    return files;
}

QList<IniDownloadTaskSpecification::Fetch> IniDownloadTaskSpecification::newerFetches() const
{
    if (!fetchesNewerRelease())
        return {};
    // Its directory lies beside the target's on every mirror. Its manifest vouches for its ini,
    // so the ini's own signature is not needed.
    const QString remote = u"../%1/"_s.arg(context.launch.goingBackFrom);
    const QString remoteManifest = remote + ReleaseManifest::fileName(context.launch.clientType);
    const QString manifest = fetchedPath(localNewerManifestPath());
    return {{remote + context.launch.clientType + u".ini"_s, fetchedPath(localNewerIniPath()),
             DownloadTaskSpecification::maxProductIniSize},
            {remoteManifest, manifest, ReleaseManifest::maxSize},
            {remoteManifest + signatureSuffix, manifest + signatureSuffix,
             DownloadTaskSpecification::maxSignatureSize}};
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    // The fetches share a fifth of the stage each, up to four fifths; the checks share the rest.
    const QList<Fetch> target = targetFetches();
    const QList<Fetch> newer = newerFetches();
    const double perFetch = std::min(0.2, 0.8 / double(target.size() + newer.size()));
    const double fetchWeight = perFetch * double(target.size() + newer.size());
    addFetches(target, perFetch * double(target.size()));
    // After the target's, not beside them: fetches beyond a mirror's slots wait for one, and a
    // fetch of unknown size gives its slot back only once hashed, which a waiting fetch may miss.
    if (!newer.isEmpty())
        addFetches(newer, perFetch * double(newer.size()));

    const int checks = 1 + int(checksManifest()) + int(fetchesNewerRelease());
    const double checkWeight = (1.0 - fetchWeight) / checks;
    addSubTask(new CheckSignatureTaskSpecification(fetchedPath(localIniPath()), QString(), this,
                                                   checkWeight));
    manifestCheck = nullptr;
    newerCheck = nullptr;
    if (checksManifest())
        addManifestCheck(checkWeight);
    if (fetchesNewerRelease())
        addNewerCheck(checkWeight);

    setRunning();
    executeSubTasks();
}

void IniDownloadTaskSpecification::addFetches(const QList<Fetch>& files, double weight)
{
    // All at once: on a distant mirror each fetch costs round trips, and none needs another.
    auto* fetches = new ParallelTaskSpecification(int(files.size()), weight, this);
    for (const Fetch& f : files)
        fetches->addSubTask(new DownloadTaskSpecification(
                manager, mirrors, f.remotePath, f.localFile, DownloadTaskSpecification::unknownSize,
                fetches, 1.0 / double(files.size()), f.maxSize));
    addSubTask(fetches);
}

void IniDownloadTaskSpecification::addManifestCheck(double weight)
{
    manifestCheck = new CheckManifestTaskSpecification(
            {fetchedPath(localIniPath()), fetchedPath(localManifestPath()), context.manifestKey,
             context.launch.clientType, context.launch.clientVersion},
            this, weight);
    addSubTask(manifestCheck);
}

void IniDownloadTaskSpecification::addNewerCheck(double weight)
{
    newerCheck = new CheckManifestTaskSpecification(
            {fetchedPath(localNewerIniPath()), fetchedPath(localNewerManifestPath()),
             context.manifestKey, context.launch.clientType, context.launch.goingBackFrom},
            this, weight);
    addSubTask(newerCheck);
}

void IniDownloadTaskSpecification::checkFailed(const Failure& failure)
{
    ++retries;
    if (retries > maxRetries) {
        emit message(u"Could not verify the product ini file. Aborting"_s);
        errorCancel(failure);
        return;
    }
    // Drawn from the securely seeded generator: the shared one starts from the clock's second,
    // the same for every updater started together.
    const auto delay = retryDelay(retries, QRandomGenerator::global()->generateDouble());
    if (delay.count() == 0) {
        emit message(u"Could not verify the product ini file. Retrying"_s);
        retry();
        return;
    }
    emit message(u"Could not verify the product ini file. Retrying in %1 s"_s.arg(
            double(delay.count()) / 1000.0, 0, 'f', 1));
    // The failed attempt's subtasks go now; the task stays running, with nothing to end it but
    // the timer or a cancel.
    clearSubTasksForRetry();
    retryTimer->start(delay);
}

void IniDownloadTaskSpecification::retry()
{
    // A cancel that arrived while the check ran survives the rebuild, so that the new subtasks
    // are not started.
    clearSubTasksForRetry();
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::subtasksDone()
{
    const TaskState outcome = getStateFromSubTasks();
    const Failure failure = subTaskFailure();
    // Only a failed check is worth another attempt: a mirror may have sent a stale or broken
    // copy. A user's cancel during the check ends the task without one.
    if (outcome == ErrorCanceled && failure.kind == Failure::Kind::Verification) {
        if (userCanceledFlag())
            userCancel();
        else
            checkFailed(failure);
        return;
    }
    if (outcome == ErrorCanceled && failure.kind == Failure::Kind::NoMirror) {
        errorCancel({Failure::Kind::NoMirror, noMirrorText()});
        return;
    }
    if (outcome != Finished) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    if (manifestCheck != nullptr)
        checkedManifest = manifestCheck->result();
    if (newerCheck != nullptr)
        checkedNewerRelease = {localNewerIniPath(), newerCheck->result()};
    if (Failure adopted = adoptFetchedCopies(); adopted.failed()) {
        errorCancel(std::move(adopted));
        return;
    }
    finish();
}

QString IniDownloadTaskSpecification::noMirrorText() const
{
    const QString text = u"No mirror had version %1"_s.arg(context.launch.clientVersion);
    return fetchesNewerRelease() ? text + u" and version %1, which the run goes back from"_s.arg(
                                                  context.launch.goingBackFrom)
                                 : text;
}

Failure IniDownloadTaskSpecification::adoptFetchedCopies()
{
    // Without a kept ini this is a new session: whatever lies there is checked where it is used.
    if (QFileInfo::exists(localIniPath()) && !keptCopiesMatchFetched()) {
        emit message(u"The release on the mirrors is not the one the interrupted update "
                     u"fetched; its downloads are discarded"_s);
        discardSessionDownloads();
    }
    for (const Fetch& fetched : filesToFetch()) {
        const QFileInfo info(fetched.localFile);
        const QString kept = info.path() + u'/' + info.fileName().mid(fetchedPrefix.size());
        // Over the old copy in one step: a kill leaves the one or the other, never neither.
        if (FileSystem::renameOver(fetched.localFile, kept).failed()) {
            const QString text = u"Could not move %1 to %2: %3"_s.arg(
                    fetched.localFile, kept, QString::fromLocal8Bit(std::strerror(errno)));
            emit message(text);
            return {Failure::Kind::Disk, text};
        }
    }
    return {};
}

bool IniDownloadTaskSpecification::keptCopiesMatchFetched() const
{
    const auto same = [](const QString& kept) {
        const QByteArray content = contentOf(kept);
        return !content.isNull() && content == contentOf(fetchedPath(kept));
    };
    return same(localIniPath()) && (!checksManifest() || same(localManifestPath()));
}

void IniDownloadTaskSpecification::discardSessionDownloads()
{
    QStringList fetched;
    for (const Fetch& f : filesToFetch())
        fetched << QFileInfo(f.localFile).fileName();
    const QDir session(context.session.directory());
    const auto all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    for (const QFileInfo& entry : session.entryInfoList(all)) {
        if (fetched.contains(entry.fileName()))
            continue;
        // Links are removed, never followed.
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}
