#pragma once

#include "mirrors.h"
#include "streamdigests.h"
#include "taskspecification.h"

#include <QFile>
#include <QMetaObject>
#include <QNetworkReply>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;

// Fetches one file over HTTP from a randomly chosen mirror into a local file. Every failed
// attempt is counted against its mirror and retried on another one; the task gives up only when
// no mirror is left, when the local file cannot be made, or when it is cancelled. A file of known
// size keeps what arrived whole across failed attempts and cancels, and the next attempt or run
// continues it with a range request; only bytes beyond that size condemn it (and drop the mirror
// that sent them). A file of unknown size never survives a failed attempt.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
    friend struct DownloadTaskSpecificationPrivateAccess; // what the tests read; see the _p.h
                                                          // header

public:
    // Limits for files whose size nobody can tell in advance: the product ini and its signature.
    static constexpr qint64 maxProductIniSize = 16 * 1024 * 1024;
    static constexpr qint64 maxSignatureSize = 64 * 1024;
    static constexpr qint64 unknownSize = -1;
    static constexpr qint64 readChunkSize = 4096;
    // Received bytes go to the disk in blocks of this size: one write per 64 KiB, not per step.
    static constexpr qint64 writeBlockSize = 16 * readChunkSize;
    // Received bytes are handed to the disk's write-back in steps of this size, so that no call on
    // the GUI thread has much to queue.
    static constexpr qint64 writeBackStep = 16 * writeBlockSize;
    // What a transfer may hold in memory before the network stops reading for it.
    static constexpr qint64 readBufferSize = 64 * readChunkSize;

    // expectedSize is the file's size on the mirror (0 included), or unknownSize. A known size is
    // also the most an attempt may bring; for an unknown one, maxSize takes that role. Every
    // download has a limit: an unknown size without a maxSize above 0 takes no byte at all.
    DownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                              const QString& remotePath, const QString& localFile,
                              qint64 expectedSize, QObject* parent, double parentProgressRange,
                              qint64 maxSize = 0);
    ~DownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    [[nodiscard]] const QString& remotePath() const { return remote; }
    [[nodiscard]] QString localFile() const { return outputFile.fileName(); }
    // The mirror of the current attempt; after success, the one that delivered the file.
    [[nodiscard]] const FTPSiteAccessData& mirror() const { return site; }
    // The digests the download takes of its bytes as it writes them: MD5 unless told otherwise
    // before the task starts. A release with a signed manifest needs SHA-256 alone.
    void setDigests(StreamDigests::Digests taken) { digests = taken; }
    // The lower-case hex MD5 of the whole file as written, once the download has finished; the
    // check after a download compares it instead of reading the file again. Empty when the
    // download does not take it.
    [[nodiscard]] QByteArray receivedMd5() const { return receivedDigest; }
    // The same in SHA-256.
    [[nodiscard]] QByteArray receivedSha256() const { return receivedSha256Digest; }
    // Where the last attempt continued a file that an earlier attempt or run left in part; 0 when
    // that attempt received the whole file.
    [[nodiscard]] qint64 resumedFrom() const { return resumeOffset; }
    // For what is only worth one try, such as a patch with the whole file to fall back on: the
    // first failed attempt ends the task, blames and drops no mirror and leaves no part behind;
    // failure() then says what went wrong, and nothing goes to the log. Set before the start.
    void setSingleAttempt(bool single) { singleAttempt = single; }

protected:
    virtual void downloadFinished();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onSlotFreed();

private:
    void startDownload();
    [[nodiscard]] bool startTransfer();
    void waitForFreeSlot();
    void stopWaitingForSlot();
    // What a failed or cancelled attempt does with the local file.
    enum class Part { Keep, Discard };
    void errorRetry(const QString& text, Part part = Part::Keep);
    void dropMirror();
    // Ends the task: the disk is full, whichever mirror is asked.
    void diskFull(const QString& text);
    // Bytes beyond the size the file may have.
    void oversizeRetry();
    void resetDownload(Part part = Part::Keep);
    // Closes the local file; a part of a file of known size stays, cut to what arrived whole.
    void closeOutput(Part part);
    void releaseSlot();
    void dropReply();
    // Reads what the reply holds, as far as the hasher keeps up.
    [[nodiscard]] bool readData();
    // The end of a successful transfer, once everything has been read.
    void completeTransfer();
    // Ends the task once the hasher has caught up.
    void takeDigests();
    void onHashProgress();
    // Fills block from the reply in readChunkSize steps, at most to its size; the count read, or
    // -1 when reading failed.
    [[nodiscard]] qint64 fillBlock(QByteArray& block);
    [[nodiscard]] bool writeBlock(QByteArray block);
    void startWriteBack();
    // A file of one block is hashed at once; longer ones on the pool, beside the transfer.
    [[nodiscard]] StreamDigests::Mode hashMode() const;
    // Opens the local file: to continue it when an earlier run left a part of it, else empty.
    [[nodiscard]] bool openOutput();
    // The part of the local file worth continuing: more than nothing, less than the whole.
    [[nodiscard]] qint64 resumableSize() const;
    [[nodiscard]] bool acceptsPartialAnswer() const;
    void startOver();
    [[nodiscard]] bool exceedsLimit(qint64 size) const;
    // Small enough to travel as an HTTP/2 stream: Qt buffers such a stream without bound, so only
    // a file no larger than the read buffer may, and memory stays bounded as over HTTP/1.1.
    [[nodiscard]] bool isMultiplexable() const;
    [[nodiscard]] QString remoteUrl() const;
    [[nodiscard]] Failure noMirrorHadIt() const;

    QNetworkAccessManager* manager;
    QPointer<Mirrors> mirrors;
    QPointer<QNetworkReply> reply;
    QMetaObject::Connection slotWait;
    int idleTicks = 0;
    QString remote;
    QFile outputFile;
    qint64 sizeAtLastTick = 0;
    qint64 expectedSize;
    qint64 initialExpectedSize;
    qint64 sizeLimit;
    qint64 receivedSize = 0;
    qint64 resumeOffset = 0;
    qint64 writtenBack = 0; // the bytes handed to the disk's write-back so far
    StreamDigests hash;
    QByteArray receivedDigest;
    QByteArray receivedSha256Digest;
    StreamDigests::Digests digests = StreamDigests::Digests::Md5;
    // The reply has finished; what it holds may still wait for the hasher.
    bool transferEnded = false;
    bool awaitingDigests = false;
    bool singleAttempt = false;
    FTPSiteAccessData site;
    // The attempt holds a slot on site; given back exactly once.
    bool holdsSlot = false;
};
