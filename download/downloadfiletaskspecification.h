#pragma once

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "installationlayout.h"
#include "sessionlayout.h"

#include <QString>

class CheckSignatureTaskSpecification;
class DownloadTaskSpecification;
class Mirrors;
class PatchApplyTaskSpecification;
class QNetworkAccessManager;

// Brings one file of the download list into the temporary directory and proves it: a download
// from a random mirror, then an MD5 check. A wrong sum of a file that one mirror sent whole drops
// that mirror and starts over from another one, until the sum is right or no mirror is left; a
// wrong sum of a continued file blames nobody and fetches the file whole.
//
// A file with a patch is first made from the installed copy: the patch is fetched once, from one
// mirror, and applied on the pool. Whatever goes wrong there costs one line in the log, blames no
// mirror, and the whole file is fetched as above.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    static constexpr double downloadShare = 0.8;
    static constexpr double checkShare = 0.2;

    // manager and mirrors are not owned and must outlive the task; the file goes below session.
    DownloadFileTaskSpecification(const FileDownloadSpecification& file,
                                  QNetworkAccessManager* manager, Mirrors* mirrors,
                                  SessionLayout session, InstallationLayout installation,
                                  QObject* parent, double parentProgressRange);

    void execute() override;
    // Drops the subtasks of the current cycle.
    void reset() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    [[nodiscard]] QString localFile() const;

signals:
    // The file was made with its patch: so many bytes less travelled than the whole file.
    void patchApplied(qint64 bytesSaved);
    // The patch failed and the whole file of so many bytes is fetched after all.
    void patchAbandoned(qint64 wholeFileBytes);

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    void makeWholeFileSubtasks();
    void onDownloaded();
    void makePatchSubtasks();
    [[nodiscard]] bool usesPatch() const { return patch.isSet() && !patchFailed; }
    // After a failed fetch or apply of the patch: one line, then the whole file.
    void abandonPatch(const Failure& failure);
    // After a wrong sum of the whole file: the mirror that sent it all is dropped, and the
    // file is fetched whole again unless the run is winding down.
    void wholeFileCheckFailed();

    const QString sourceDir;
    const QString fileName;
    const QString md5;
    const QByteArray sha256; // empty without a release manifest
    const qint64 size;
    const FilePatchSpecification patch;
    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    SessionLayout session;
    InstallationLayout installation;
    DownloadTaskSpecification* download = nullptr;
    CheckSignatureTaskSpecification* check = nullptr;
    DownloadTaskSpecification* patchDownload = nullptr;
    PatchApplyTaskSpecification* patchApply = nullptr;
    // A patch that failed once is not tried again by this task.
    bool patchFailed = false;
    // A sibling failed: no new cycle may start.
    bool otherCancelSeen = false;
};
