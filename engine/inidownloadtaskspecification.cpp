#include "inidownloadtaskspecification.h"

#include "checkmanifesttaskspecification.h"
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
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

double IniDownloadTaskSpecification::downloadWeight() const
{
    // Each download a share of the stage; the checks share the rest.
    return checksManifest() ? 0.2 : 0.3333;
}

bool IniDownloadTaskSpecification::checksManifest() const
{
    return !configuration->manifestKey.isEmpty();
}

QString IniDownloadTaskSpecification::localManifestPath() const
{
    return configuration->tempDir + u'/' + ReleaseManifest::fileName(configuration->clientType);
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString remoteIni = configuration->clientType + u".ini"_s;
    const QString localIni = localIniPath();
    // Copies from an interrupted run are worth one verification; after that, fresh ones only.
    const bool reuseLocal = retries == 0;

    double checkWeight = 1.0;
    checkWeight -= addDownload(remoteIni, localIni, DownloadTaskSpecification::maxProductIniSize,
                               reuseLocal);
    checkWeight -= addDownload(remoteIni + signatureSuffix, localIni + signatureSuffix,
                               DownloadTaskSpecification::maxSignatureSize, reuseLocal);
    if (checksManifest()) {
        const QString remoteManifest = ReleaseManifest::fileName(configuration->clientType);
        checkWeight -= addDownload(remoteManifest, localManifestPath(), ReleaseManifest::maxSize,
                                   reuseLocal);
        checkWeight -=
                addDownload(remoteManifest + signatureSuffix, localManifestPath() + signatureSuffix,
                            DownloadTaskSpecification::maxSignatureSize, reuseLocal);
        checkWeight /= 2;
    }

    auto* check =
            new CheckSignatureTaskSpecification(localIni, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);
    if (checksManifest())
        addManifestCheck(checkWeight);

    setRunning();
    executeSubTasks();
}

double IniDownloadTaskSpecification::addDownload(const QString& remotePath,
                                                 const QString& localFile, qint64 maxSize,
                                                 bool reuseLocal)
{
    if (reuseLocal && QFileInfo::exists(localFile))
        return 0;
    addSubTask(new DownloadTaskSpecification(manager, mirrors, remotePath, localFile,
                                             DownloadTaskSpecification::unknownSize, this,
                                             downloadWeight(), maxSize));
    return downloadWeight();
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

void IniDownloadTaskSpecification::onManifestCheckDone(bool pass)
{
    if (!pass)
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
