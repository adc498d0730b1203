#pragma once

#include "composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The first stage of an update: brings the product ini of the client type and its signature into
// the temporary directory and verifies one against the other. Copies left by an interrupted run
// are tried first; after a failed verification both files are fetched afresh.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    static constexpr int defaultMaxRetries = 1000;

    // None of the pointers is owned; all must outlive the task.
    IniDownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                 Configuration* configuration, QObject* parent,
                                 double parentProgressRange, int maxRetries = defaultMaxRetries);

    void execute() override;
    void reset() override;

    [[nodiscard]] int retryCount() const { return retries; }
    [[nodiscard]] QString localIniPath() const;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void makeSubtasksAndStart();
    void addDownload(const QString& remotePath, const QString& localFile, qint64 maxSize);
    void retry();

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    const int maxRetries;
    int retries = 0;
};
