#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "mirrors.h"

#include <QFile>

using namespace Qt::StringLiterals;

DownloadFileTaskSpecification::DownloadFileTaskSpecification(
        const FileDownloadSpecification& file, QNetworkAccessManager* manager, Mirrors* mirrors,
        Configuration* configuration, QObject* parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , sourceDir(file.sourceDir)
    , fileName(file.fileName)
    , md5(file.md5)
    , size(file.size)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{}

QString DownloadFileTaskSpecification::localFile() const
{
    return configuration->tempDir + u'/' + fileName;
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    download = nullptr;
    otherCancelSeen = false;
    checkFailed = false;
    resetWithoutSubTasks();
}

void DownloadFileTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    otherCancelSeen = true;
    ComposedTaskSpecification::handleOtherTaskCancelled(other);
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    download = new DownloadTaskSpecification(manager, mirrors, sourceDir + u'/' + fileName,
                                             localFile(), size, this, downloadShare);
    addSubTask(download);
    auto* check = new CheckSignatureTaskSpecification(localFile(), md5, false, this, checkShare);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    // The download hashed the bytes as it wrote them: the check need not read the file again.
    connect(download, &TaskSpecification::finished, check,
            [download = download, check] { check->setKnownMd5(download->receivedMd5()); });
    addSubTask(check);
    setRunning();
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass,
                                                   CheckSignatureTaskSpecification* /*check*/)
{
    if (pass)
        return;
    if (download->resumedFrom() > 0) {
        // The part came from an earlier attempt or run, maybe from another mirror: the one that
        // sent the rest is not to blame.
        emit message(u"md5 sum for %1 failed on a continued download, fetching it whole"_s.arg(
                fileName));
    } else {
        emit message(u"md5 sum for %1 failed, invalidating mirror and retrying"_s.arg(fileName));
        mirrors->removeMirror(download->mirror().name);
    }
    // Not worth continuing: the next attempt fetches the whole file.
    QFile::remove(localFile());
    // The check still ends Finished; a run that is winding down must not take that for success
    // nor fetch the file again.
    if (userCanceledFlag() || otherCancelSeen) {
        checkFailed = true;
        return;
    }
    reset();
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::subtasksDone()
{
    if (!checkFailed) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    if (userCanceledFlag())
        userCancel();
    else
        errorCancel();
}
