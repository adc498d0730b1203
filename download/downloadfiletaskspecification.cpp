#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "downloadtaskspecification.h"
#include "mirrors.h"
#include "patchapplytaskspecification.h"
#include "wholefile.h"

#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

DownloadFileTaskSpecification::DownloadFileTaskSpecification(
        const FileDownloadSpecification& file, QNetworkAccessManager* manager, Mirrors* mirrors,
        SessionLayout session, InstallationLayout installation, QObject* parent,
        double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , sourceDir(file.sourceDir)
    , fileName(file.fileName)
    , md5(file.md5)
    , sha256(file.sha256)
    , size(file.size)
    , patch(file.patch)
    , manager(manager)
    , mirrors(mirrors)
    , session(std::move(session))
    , installation(std::move(installation))
{}

QString DownloadFileTaskSpecification::localFile() const
{
    return session.filePath(fileName);
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    download = nullptr;
    check = nullptr;
    patchDownload = nullptr;
    patchApply = nullptr;
    otherCancelSeen = false;
    resetWithoutSubTasks();
}

void DownloadFileTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    otherCancelSeen = true;
    ComposedTaskSpecification::handleOtherTaskCancelled(other);
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    if (usesPatch())
        makePatchSubtasks();
    else
        makeWholeFileSubtasks();
    setRunning();
    executeSubTasks();
}

void DownloadFileTaskSpecification::makePatchSubtasks()
{
    const QString local = session.filePath(patch.path);
    double applyWeight = 1.0;
    // A patch that an interrupted run fetched whole is checked by the apply.
    if (QFileInfo(local).size() != patch.size) {
        patchDownload = new DownloadTaskSpecification(manager, mirrors, patch.path, local,
                                                      patch.size, this, downloadShare);
        patchDownload->setDigests(StreamDigests::Digests::Sha256);
        patchDownload->setSingleAttempt(true);
        addSubTask(patchDownload);
        applyWeight = checkShare;
    }
    patchApply = new PatchApplyTaskSpecification(patch, session, installation, this, applyWeight);
    addSubTask(patchApply);
}

void DownloadFileTaskSpecification::abandonPatch(const Failure& failure)
{
    emit message(
            u"Patch for %1 not used (%2); fetching the whole file"_s.arg(fileName, failure.text));
    QFile::remove(session.filePath(patch.path));
    patchFailed = true;
    emit patchAbandoned(size);
    clearSubTasksForRetry();
    patchDownload = nullptr;
    patchApply = nullptr;
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::makeWholeFileSubtasks()
{
    download = new DownloadTaskSpecification(manager, mirrors, sourceDir + u'/' + fileName,
                                             localFile(), size, this, downloadShare);
    // With a manifest, its SHA-256 alone says whether the file is right.
    download->setDigests(sha256.isEmpty() ? StreamDigests::Digests::Md5
                                          : StreamDigests::Digests::Sha256);
    addSubTask(download);
    check = new CheckSignatureTaskSpecification(localFile(), md5, this, checkShare);
    check->setExpectedSha256(sha256);
    connect(download, &TaskSpecification::finished, this,
            &DownloadFileTaskSpecification::onDownloaded);
    addSubTask(check);
}

void DownloadFileTaskSpecification::onDownloaded()
{
    // The download hashed the bytes as it wrote them: the check need not read the file again.
    check->setKnownMd5(download->receivedMd5());
    check->setKnownSha256(download->receivedSha256());
}

void DownloadFileTaskSpecification::wholeFileCheckFailed()
{
    const QString digest = sha256.isEmpty() ? u"md5"_s : u"sha256"_s;
    if (download->resumedFrom() > 0) {
        // The part came from an earlier attempt or run, maybe from another mirror: the one that
        // sent the rest is not to blame.
        emit message(u"%1 sum for %2 failed on a continued download, fetching it whole"_s.arg(
                digest, fileName));
    } else {
        emit message(
                u"%1 sum for %2 failed, invalidating mirror and retrying"_s.arg(digest, fileName));
        mirrors->removeMirror(download->mirror().name);
    }
    // Not worth continuing: the next attempt fetches the whole file.
    QFile::remove(localFile());
}

void DownloadFileTaskSpecification::subtasksDone()
{
    const bool winding = userCanceledFlag() || otherCancelSeen;
    const TaskState outcome = getStateFromSubTasks();
    if (usesPatch()) {
        if (outcome == Finished)
            emit patchApplied(size - patch.size);
        else if (!winding) {
            abandonPatch(subTaskFailure());
            return;
        }
    } else if (outcome == ErrorCanceled && subTaskFailure().kind == Failure::Kind::Verification) {
        wholeFileCheckFailed();
        if (!winding) {
            reset();
            makeSubtasksAndStart();
            return;
        }
        // A run that the user is stopping ends as asked, whatever the check said.
        if (userCanceledFlag()) {
            userCancel();
            return;
        }
    }
    ComposedTaskSpecification::subtasksDone();
}
