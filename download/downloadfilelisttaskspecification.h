#pragma once

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "installationlayout.h"
#include "sessionlayout.h"

#include <QList>

class Mirrors;
class QNetworkAccessManager;

// The download stage of an update: makes the directories the files need in the temporary
// directory, then fetches and checks every file of the download list, `streams` at a time.
// Reports what the whole list is expected to transfer as the total: patches where there are any,
// and the whole file for a patch that failed. Ends with a line on the bytes that patches saved.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // Neither pointer is owned; both must outlive the task. streams files are fetched at a time.
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification> list,
                                      QNetworkAccessManager* manager, Mirrors* mirrors,
                                      SessionLayout session, InstallationLayout installation,
                                      int streams, QObject* parent, double parentProgressRange);

    void execute() override;
    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    [[nodiscard]] bool makeSubDirs();

    const QList<FileDownloadSpecification> list;
    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    SessionLayout session;
    InstallationLayout installation;
    qint64 totalSize = 0;
    int patchesApplied = 0;
    qint64 bytesSaved = 0;
};
