#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

constexpr double downloadWeight = 0.3333;
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

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString remoteIni = configuration->clientType + u".ini"_s;
    const QString localIni = localIniPath();
    // Copies from an interrupted run are worth one verification; after that, fresh ones only.
    const bool reuseLocal = retries == 0;

    double checkWeight = 1.0;
    if (!reuseLocal || !QFileInfo::exists(localIni)) {
        addDownload(remoteIni, localIni, DownloadTaskSpecification::maxProductIniSize);
        checkWeight = 1.0 - downloadWeight;
    }
    if (!reuseLocal || !QFileInfo::exists(localIni + signatureSuffix)) {
        addDownload(remoteIni + signatureSuffix, localIni + signatureSuffix,
                    DownloadTaskSpecification::maxSignatureSize);
        checkWeight -= downloadWeight;
    }

    auto* check =
            new CheckSignatureTaskSpecification(localIni, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    setRunning();
    executeSubTasks();
}

void IniDownloadTaskSpecification::addDownload(const QString& remotePath, const QString& localFile,
                                               qint64 maxSize)
{
    addSubTask(new DownloadTaskSpecification(manager, mirrors, remotePath, localFile,
                                             DownloadTaskSpecification::unknownSize, this,
                                             downloadWeight, maxSize));
}

// Runs inside the check's completion, before the check emits finished.
void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
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
