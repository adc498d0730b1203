#include "downloadtaskspecification.h"

#include "filesystem.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <cerrno>

using namespace Qt::StringLiterals;

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* manager,
                                                     Mirrors* mirrors, const QString& remotePath,
                                                     const QString& localFile, qint64 expectedSize,
                                                     QObject* parent, double parentProgressRange,
                                                     qint64 maxSize)
    : TaskSpecification(parent, parentProgressRange)
    , manager(manager)
    , mirrors(mirrors)
    , remote(remotePath)
    , outputFile(localFile)
    , expectedSize(expectedSize)
    , initialExpectedSize(expectedSize)
    , sizeLimit(expectedSize >= 0 ? expectedSize : std::max(maxSize, qint64(0)))
{
    // Called through the event loop; dropped with the hash, so never after this task is gone.
    hash.setListener([this] { onHashProgress(); });
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    dropReply();
    releaseSlot();
    // A later run continues what arrived.
    closeOutput(Part::Keep);
}

void DownloadTaskSpecification::execute()
{
    emit message(u"Downloading %1"_s.arg(remote));
    setRunning();
    startDownload();
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    TaskSpecification::reset();
}

void DownloadTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                         quint64& speed, bool& downloading)
{
    downloadDone = static_cast<quint64>(receivedSize);
    downloadTotal = static_cast<quint64>(qMax(expectedSize, qint64(0)));
    speed = static_cast<quint64>(receivedSize - sizeAtLastTick);
    sizeAtLastTick = receivedSize;
    if (state() != Running || reply.isNull())
        return;
    // Every read of received data starts the count afresh.
    if (++idleTicks <= site.timeout) {
        downloading = true;
        return;
    }
    errorRetry(u"file %1 timed out on mirror %2"_s.arg(remote, site.name));
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state() != Running)
        return;
    resetDownload();
    userCancel();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification* /*other*/)
{
    if (!reply.isNull()) {
        emit message(u"Abort downloading %1"_s.arg(remote));
        resetDownload();
    }
    stopWaitingForSlot();
    errorCancel(Failure::stoppedByAnother());
}

void DownloadTaskSpecification::downloadFinished()
{
    emit message(u"Downloading %1 finished"_s.arg(remote));
    // site stays filled: the owner may want to know which mirror delivered the file.
    releaseSlot();
    finish();
}

void DownloadTaskSpecification::startDownload()
{
    if (mirrors.isNull()) {
        errorCancel(noMirrorHadIt());
        return;
    }
    switch (mirrors->getRandomMirror(site, isMultiplexable())) {
    case Mirrors::NoMirrorLeft:
        // The mirror list has said so, once for the whole run.
        errorCancel(noMirrorHadIt());
        return;
    case Mirrors::AllSlotsBusy:
        waitForFreeSlot();
        return;
    case Mirrors::Chosen:
        holdsSlot = true;
        break;
    }
    if (!startTransfer())
        return;
    connect(reply, &QNetworkReply::downloadProgress, this,
            &DownloadTaskSpecification::onDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this,
            &DownloadTaskSpecification::onMetaDataChanged);
}

qint64 DownloadTaskSpecification::resumableSize() const
{
    // Only a file of known size is continued: a product ini is small and always fetched whole.
    const QFileInfo info(outputFile.fileName());
    if (expectedSize <= 0 || !info.isFile() || info.isSymLink())
        return 0;
    return info.size() > 0 && info.size() < expectedSize ? info.size() : 0;
}

bool DownloadTaskSpecification::openOutput()
{
    hash.reset(hashMode(), digests);
    receivedDigest.clear();
    receivedSha256Digest.clear();
    resumeOffset = resumableSize();
    // Unbuffered, so that a full disk shows at the write that hits it, not at the close.
    if (resumeOffset > 0) {
        // What is there goes into the digest, read by the hasher; the rest is appended as it
        // arrives. A part that cannot be read leaves no digest, and the check reads the file.
        hash.addFile(outputFile.fileName(), resumeOffset);
        if (outputFile.open(QIODevice::ReadWrite | QIODevice::Unbuffered) &&
            outputFile.seek(resumeOffset)) {
            receivedSize = resumeOffset;
            writtenBack = resumeOffset;
            sizeAtLastTick = resumeOffset;
            return true;
        }
        outputFile.close();
        hash.reset(hashMode(), digests);
        resumeOffset = 0;
    }
    return outputFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

void DownloadTaskSpecification::startOver()
{
    // The mirror sends the whole file after all: what an earlier run left is written over.
    outputFile.resize(0);
    outputFile.seek(0);
    hash.reset(hashMode(), digests);
    resumeOffset = 0;
    receivedSize = 0;
    writtenBack = 0;
    sizeAtLastTick = 0;
}

bool DownloadTaskSpecification::acceptsPartialAnswer() const
{
    // "bytes <first>-<last>/<size>": the rest of exactly our file, from where it stops. Servers
    // differ in the case of the unit, in spacing and in leaving the size open ("*").
    static const QRegularExpression contentRange(
            uR"(^\s*bytes\s*(\d+)\s*-\s*(\d+)\s*/\s*(\d+|\*)\s*$)"_s,
            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch range =
            contentRange.match(QString::fromLatin1(reply->rawHeader("Content-Range")));
    if (resumeOffset <= 0 || !range.hasMatch())
        return false;
    bool firstRead = false;
    bool lastRead = false;
    const qint64 first = range.capturedView(1).toLongLong(&firstRead);
    const qint64 last = range.capturedView(2).toLongLong(&lastRead);
    const QStringView total = range.capturedView(3);
    return firstRead && lastRead && first == resumeOffset && last == expectedSize - 1 &&
           (total == u"*" || total.toLongLong() == expectedSize);
}

bool DownloadTaskSpecification::startTransfer()
{
    if (!openOutput()) {
        const QString text = u"Unable to create file %1 for saving"_s.arg(outputFile.fileName());
        emit error(text);
        releaseSlot();
        site.name.clear();
        errorCancel({Failure::Kind::Disk, text});
        return false;
    }
    QNetworkRequest request{QUrl(remoteUrl())};
    // A redirect must reach the status check as what it is: a mirror that does not serve the file.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Small files as HTTP/2 streams where the mirror speaks it: negotiated on https, and on plain
    // http only for a mirror that says so, as nothing can be negotiated there. One connection then
    // carries all of them, with no round trip between one and the next. Larger files gain
    // nothing from it and go over HTTP/1.1, where the read buffer holds.
    const bool https = request.url().scheme() == u"https"_s;
    const bool stream = isMultiplexable() && (https || site.http2);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, stream);
    request.setAttribute(QNetworkRequest::Http2DirectAttribute, stream && !https);
    if (resumeOffset > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeOffset) + '-');
    reply = manager->get(request);
    if (reply.isNull()) {
        const QString text = u"Download failed to initialize"_s;
        emit error(text);
        resetDownload();
        errorCancel({Failure::Kind::NoMirror, text});
        return false;
    }
    // Unbounded by default: a mirror faster than the disk would pile up data in memory.
    reply->setReadBufferSize(readBufferSize);
    if (!reply->isRunning()) {
        errorRetry(reply->errorString());
        return false;
    }
    return true;
}

void DownloadTaskSpecification::waitForFreeSlot()
{
    // When a slot is given back, not when a transfer ends: a download gives its slot back only
    // once its digests are known, which may be after every transfer has ended. Queued, so that
    // the task that gave it back has finished with the mirror list first.
    if (!slotWait && !mirrors.isNull())
        slotWait = connect(mirrors.data(), &Mirrors::slotFreed, this,
                           &DownloadTaskSpecification::onSlotFreed, Qt::QueuedConnection);
}

void DownloadTaskSpecification::stopWaitingForSlot()
{
    disconnect(slotWait);
    slotWait = {};
}

void DownloadTaskSpecification::onSlotFreed()
{
    stopWaitingForSlot();
    // A notice posted before a cancel or reset still arrives; such a task must stay quiet.
    if (state() != Running || !reply.isNull())
        return;
    startDownload();
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (reply.isNull())
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    const int code = status.toInt();
    if (code == 200 && resumeOffset > 0)
        startOver();
    if (code != 200 && !(code == 206 && acceptsPartialAnswer())) {
        // Redirects and partial answers included: such a mirror does not serve our files.
        const QString text = u"%1 returned %2"_s.arg(remoteUrl(), QString::number(code));
        dropMirror();
        errorRetry(text);
        return;
    }
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!announced.isValid())
        return;
    const qint64 length = resumeOffset + announced.toLongLong();
    if (exceedsLimit(length)) {
        oversizeRetry();
        return;
    }
    // The reply's own progress signal is throttled and may come only at the end of a short
    // transfer; the header gives the size as soon as it is known.
    if (length > 0 && expectedSize == unknownSize)
        expectedSize = length;
}

void DownloadTaskSpecification::onDownloadProgress(qint64 /*bytesReceived*/, qint64 bytesTotal)
{
    if (bytesTotal > 0 && expectedSize == unknownSize)
        expectedSize = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    // A failure has already started the next attempt.
    (void)readData();
}

bool DownloadTaskSpecification::readData()
{
    const qint64 before = receivedSize;
    // Behind the hasher the bytes wait in the reply, whose full buffer stops the network; the
    // hasher's listener reads on.
    while (!reply.isNull() && !hash.isFull()) {
        idleTicks = 0;
        // Nothing arrives while we read: what is there now is all this pass can take.
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            break;
        QByteArray block(qMin(available, writeBlockSize), Qt::Uninitialized);
        const qint64 count = fillBlock(block);
        if (count < 0) {
            errorRetry(reply->errorString());
            return false;
        }
        if (count == 0)
            break;
        // Checked before writing, so that endless data never reaches the disk.
        if (exceedsLimit(receivedSize + count)) {
            oversizeRetry();
            return false;
        }
        block.truncate(count);
        if (!writeBlock(std::move(block)))
            return false;
    }
    // Once for all that arrived: the report travels up the whole task tree.
    if (receivedSize != before && expectedSize > 0)
        setProgress(qMin(1.0, double(receivedSize) / double(expectedSize)));
    return true;
}

qint64 DownloadTaskSpecification::fillBlock(QByteArray& block)
{
    qint64 filled = 0;
    while (filled < block.size()) {
        const qint64 step = std::min(readChunkSize, block.size() - filled);
        const qint64 count = reply->read(block.data() + filled, step);
        if (count < 0)
            return -1;
        if (count == 0)
            break;
        filled += count;
    }
    return filled;
}

bool DownloadTaskSpecification::writeBlock(QByteArray block)
{
    const qint64 count = block.size();
    errno = 0;
    const qint64 written = outputFile.write(block);
    // A short count carries no error of the file's own: errno still says why the rest failed.
    const bool noSpace =
            outputFile.error() == QFileDevice::ResourceError || errno == ENOSPC || errno == EDQUOT;
    if (written < count) {
        const QString text =
                written < 0
                        ? outputFile.errorString()
                        : u"Error writing to file %1. Should write %2 bytes but wrote %3 bytes"_s
                                  .arg(outputFile.fileName(), QString::number(count),
                                       QString::number(written));
        // A full disk is no mirror's fault, and no other mirror can help.
        if (noSpace)
            diskFull(text);
        else
            errorRetry(text);
        return false;
    }
    hash.add(std::move(block));
    receivedSize += count;
    if (receivedSize - writtenBack >= writeBackStep)
        startWriteBack();
    return true;
}

void DownloadTaskSpecification::startWriteBack()
{
    FileSystem::startWriteBack(outputFile, writtenBack, receivedSize - writtenBack);
    writtenBack = receivedSize;
}

StreamDigests::Mode DownloadTaskSpecification::hashMode() const
{
    return expectedSize > 0 && expectedSize <= writeBlockSize ? StreamDigests::AtOnce
                                                              : StreamDigests::OnPool;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (reply.isNull())
        return;
    if (reply->error() != QNetworkReply::NoError) {
        if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
            dropMirror();
            reply->close();
        }
        errorRetry(reply->errorString());
        return;
    }
    transferEnded = true;
    completeTransfer();
}

void DownloadTaskSpecification::completeTransfer()
{
    if (!readData() || reply->bytesAvailable() > 0)
        return;
    dropReply();
    startWriteBack();
    outputFile.close();
    takeDigests();
}

void DownloadTaskSpecification::takeDigests()
{
    awaitingDigests = !hash.isIdle();
    if (awaitingDigests)
        return;
    receivedDigest = hash.hexMd5Result();
    receivedSha256Digest = hash.hexSha256Result();
    downloadFinished();
}

void DownloadTaskSpecification::onHashProgress()
{
    if (state() != Running)
        return;
    if (reply.isNull()) {
        if (awaitingDigests)
            takeDigests();
        return;
    }
    if (transferEnded)
        completeTransfer();
    else
        (void)readData();
}

void DownloadTaskSpecification::diskFull(const QString& text)
{
    emit message(text);
    const QString directory = QFileInfo(outputFile.fileName()).absolutePath();
    resetDownload();
    errorCancel({Failure::Kind::Disk, u"Not enough disk space in %1"_s.arg(directory)});
}

void DownloadTaskSpecification::dropMirror()
{
    // A patch that a mirror lacks or mangles says nothing about the whole files it serves.
    if (!singleAttempt)
        mirrors->removeMirror(site.name);
}

void DownloadTaskSpecification::errorRetry(const QString& text, Part part)
{
    if (singleAttempt) {
        resetDownload(Part::Discard);
        errorCancel({Failure::Kind::NoMirror, text});
        return;
    }
    mirrors->addMirrorError(site.name);
    resetDownload(part);
    emit message(text);
    startDownload();
}

void DownloadTaskSpecification::oversizeRetry()
{
    const QString text = u"file %1 exceeds its expected size on mirror %2"_s.arg(remote, site.name);
    // A mirror that sends more than the listed size or the limit holds another file under this
    // name, or streams without end: it is no use for any other attempt, and its bytes are no
    // part of ours.
    dropMirror();
    errorRetry(text, Part::Discard);
}

void DownloadTaskSpecification::resetDownload(Part part)
{
    releaseSlot();
    site.name.clear();
    dropReply();
    stopWaitingForSlot();
    idleTicks = 0;
    transferEnded = false;
    awaitingDigests = false;
    closeOutput(part);
    expectedSize = initialExpectedSize;
    sizeAtLastTick = 0;
    receivedSize = 0;
    writtenBack = 0;
    resumeOffset = 0;
    receivedDigest.clear();
    receivedSha256Digest.clear();
    hash.reset(hashMode(), digests);
    setProgress(0);
}

void DownloadTaskSpecification::closeOutput(Part part)
{
    if (!outputFile.isOpen())
        return;
    // Only the blocks counted in receivedSize went whole to the disk and into the digest; a write
    // that failed half-way is cut off, so the next attempt rehashes exactly what arrived. An
    // empty file is worth nothing; one of unknown size is never continued.
    const bool keep = part == Part::Keep && initialExpectedSize > 0 && receivedSize > 0 &&
                      receivedSize <= initialExpectedSize && outputFile.resize(receivedSize);
    outputFile.close();
    if (!keep)
        outputFile.remove();
}

void DownloadTaskSpecification::releaseSlot()
{
    if (holdsSlot && !mirrors.isNull())
        mirrors->releaseMirror(site.name, isMultiplexable());
    holdsSlot = false;
}

void DownloadTaskSpecification::dropReply()
{
    if (reply.isNull())
        return;
    QNetworkReply* released = reply;
    reply.clear();
    disconnect(released, nullptr, this, nullptr);
    // Deleting a reply cancels what is left of its transfer. No abort(): we may be inside one of
    // the reply's own signals, and the reply would go on reporting into an aborted state.
    released->deleteLater();
}

bool DownloadTaskSpecification::isMultiplexable() const
{
    return initialExpectedSize > 0 && initialExpectedSize <= readBufferSize;
}

bool DownloadTaskSpecification::exceedsLimit(qint64 size) const
{
    return size > sizeLimit;
}

Failure DownloadTaskSpecification::noMirrorHadIt() const
{
    const int version = mirrors.isNull() ? 0 : mirrors->version();
    return {Failure::Kind::NoMirror,
            u"No mirror had %1 of version %2"_s.arg(remote, QString::number(version))};
}

QString DownloadTaskSpecification::remoteUrl() const
{
    return site.url + u'/' + remote;
}
