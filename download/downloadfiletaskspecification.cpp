#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "mirrors.h"
#include "wholefile.h"

#include <QFile>

using namespace Qt::StringLiterals;

DownloadFileTaskSpecification::DownloadFileTaskSpecification(
        const FileDownloadSpecification& file, QNetworkAccessManager* manager, Mirrors* mirrors,
        Configuration* configuration, QObject* parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , sourceDir(file.sourceDir)
    , fileName(file.fileName)
    , md5(file.md5)
    , sha256(file.sha256)
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
    download->setTakesSha256(!sha256.isEmpty());
    addSubTask(download);
    auto* check = new CheckSignatureTaskSpecification(localFile(), md5, false, this, checkShare);
    check->setExpectedSha256(sha256);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    // The download hashed the bytes as it wrote them: the check need not read the file again.
    connect(download, &TaskSpecification::finished, check, [download = download, check] {
        check->setKnownMd5(download->receivedMd5());
        check->setKnownSha256(download->receivedSha256());
    });
    addSubTask(check);
    setRunning();
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass,
                                                   CheckSignatureTaskSpecification* /*check*/)
{
    if (pass)
        return;
    // Bytes that match the MD5 sum but not the SHA-256 one were made to look right.
    const QString digest =
            WholeFile::sameDigest(download->receivedMd5(), md5) ? u"sha256"_s : u"md5"_s;
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
