#include "inidownloadtaskspecification.h"

#include "checkmanifesttaskspecification.h"
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "paralleltaskspecification.h"
#include "releasemanifest.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

const QString signatureSuffix = u".sig"_s;

} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(
        QNetworkAccessManager* manager, Mirrors* mirrors, Configuration* configuration,
        QObject* parent, double parentProgressRange, int maxRetries)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
    , maxRetries(maxRetries)
{}

QString IniDownloadTaskSpecification::localIniPath() const
{
    return configuration->tempDir + u'/' + configuration->clientType + u".ini"_s;
}

void IniDownloadTaskSpecification::execute()
{
    emit message(u"Download / check product ini"_s);
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    retries = 0;
    resetWithoutSubTasks();
}

bool IniDownloadTaskSpecification::checksManifest() const
{
    return !configuration->manifestKey.isEmpty();
}

QString IniDownloadTaskSpecification::localManifestPath() const
{
    return configuration->tempDir + u'/' + ReleaseManifest::fileName(configuration->clientType);
}

QList<IniDownloadTaskSpecification::Fetch> IniDownloadTaskSpecification::filesToFetch() const
{
    const QString remoteIni = configuration->clientType + u".ini"_s;
    QList<Fetch> files = {
            {remoteIni, localIniPath(), DownloadTaskSpecification::maxProductIniSize},
            {remoteIni + signatureSuffix, localIniPath() + signatureSuffix,
             DownloadTaskSpecification::maxSignatureSize},
    };
    if (checksManifest()) {
        const QString remoteManifest = ReleaseManifest::fileName(configuration->clientType);
        files.append({remoteManifest, localManifestPath(), ReleaseManifest::maxSize});
        files.append({remoteManifest + signatureSuffix, localManifestPath() + signatureSuffix,
                      DownloadTaskSpecification::maxSignatureSize});
    }
    // Copies from an interrupted run are worth one verification; after that, fresh ones only.
    if (retries == 0)
        files.removeIf([](const Fetch& f) { return QFileInfo::exists(f.localFile); });
    return files;
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    // The fetches share a fifth of the stage each; the checks share the rest.
    const QList<Fetch> files = filesToFetch();
    const double fetchWeight = 0.2 * double(files.size());
    if (!files.isEmpty())
        addFetches(files, fetchWeight);

    const double checkWeight = checksManifest() ? (1.0 - fetchWeight) / 2 : 1.0 - fetchWeight;
    auto* check = new CheckSignatureTaskSpecification(localIniPath(), QString(), false, this,
                                                      checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);
    if (checksManifest())
        addManifestCheck(checkWeight);

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
    auto* check = new CheckManifestTaskSpecification(
            {localIniPath(), localManifestPath(), configuration->manifestKey,
             configuration->clientType, configuration->clientVersion},
            this, weight);
    connect(check, &CheckManifestTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onManifestCheckDone);
    addSubTask(check);
}

// Runs inside the check's completion, before the check emits finished.
void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (!pass)
        checkFailed();
}

void IniDownloadTaskSpecification::onManifestCheckDone(bool pass, const ReleaseManifest& manifest)
{
    if (pass)
        emit manifestChecked(manifest);
    else
        checkFailed();
}

void IniDownloadTaskSpecification::checkFailed()
{
    ++retries;
    if (retries > maxRetries) {
        emit message(u"Could not verify the product ini file. Aborting"_s);
        // The check still finishes after this slot; its end must not finish this step again.
        errorCancelBeforeSubtasksEnd();
        return;
    }
    emit message(u"Could not verify the product ini file. Retrying"_s);
    retry();
}

void IniDownloadTaskSpecification::retry()
{
    // A cancel that arrived while the check ran survives the rebuild, so that the new subtasks
    // are not started.
    clearSubTasksForRetry();
    makeSubtasksAndStart();
}
