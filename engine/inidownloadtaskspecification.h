#pragma once

#include "composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class ReleaseManifest;
class Mirrors;
class QNetworkAccessManager;

// The first stage of an update: brings the product ini of the client type and its signature into
// the temporary directory and verifies one against the other. With a manifest key it also brings
// the release manifest and its signature, and checks that the manifest is signed with that key,
// names this client type and version and lists the product ini's digest. Copies left by an
// interrupted run are tried first; after a failed verification all files are fetched afresh.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    static constexpr int defaultMaxRetries = 1000;

    // None of the pointers is owned; all must outlive the task. Without a manifest key in the
    // configuration, the product ini's RSA signature alone is checked.
    IniDownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                 Configuration* configuration, QObject* parent,
                                 double parentProgressRange, int maxRetries = defaultMaxRetries);

    void execute() override;
    void reset() override;

    [[nodiscard]] int retryCount() const { return retries; }
    [[nodiscard]] QString localIniPath() const;
    [[nodiscard]] QString localManifestPath() const;

signals:
    // The release manifest that passed its checks, before the stage finishes.
    void manifestChecked(const ReleaseManifest& manifest);

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);
    void onManifestCheckDone(bool pass, const ReleaseManifest& manifest);

private:
    struct Fetch
    {
        QString remotePath;
        QString localFile;
        qint64 maxSize = 0;
    };

    void makeSubtasksAndStart();
    [[nodiscard]] QList<Fetch> filesToFetch() const;
    void addFetches(const QList<Fetch>& files, double weight);
    void addManifestCheck(double weight);
    [[nodiscard]] bool checksManifest() const;
    void checkFailed();
    void retry();

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    const int maxRetries;
    int retries = 0;
};
