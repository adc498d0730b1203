#pragma once

#include "composedtaskspecification.h"
#include "productinireader.h"
#include "releasemanifest.h"

#include <chrono>

class CheckManifestTaskSpecification;
struct RunContext;
class Mirrors;
class QNetworkAccessManager;
class QTimer;

// The first stage of an update: brings the product ini of the client type and its signature into
// the temporary directory and verifies one against the other. With a manifest key it also brings
// the release manifest and its signature, and checks that the manifest is signed with that key,
// names this client type and version and lists the product ini's digest. The files are always
// fetched afresh, beside the copies an interrupted run kept, and take their place only once they
// passed their checks. When they differ from those copies the release was republished meanwhile:
// the session's downloads belong to the old one and are discarded. After a failed verification
// the files are fetched again, at once the first few times, then after growing waits. Its
// result is the release manifest that passed its checks, empty without a manifest key. A run
// that goes back from the installed version also fetches that version's product ini and manifest
// (withdrawn versions stay on the mirrors) and checks them the same way, so that the next stage
// can remove what only that version installed.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    static constexpr int defaultMaxRetries = 1000;
    // Retries that follow a failed verification at once; the later ones wait retryDelay().
    static constexpr int immediateRetries = 3;
    static constexpr std::chrono::milliseconds firstRetryDelay{500};
    static constexpr std::chrono::milliseconds maxRetryDelay{30000};

    // The wait before retry number retry (from 1): none for the first immediateRetries, then
    // doubling from firstRetryDelay up to maxRetryDelay. jitter, from 0 to 1, takes up to half of
    // it off, so that updaters that failed together do not come back together.
    [[nodiscard]] static std::chrono::milliseconds retryDelay(int retry, double jitter);

    // Neither the pointers nor the context are owned; all must outlive the task. Without a
    // manifest key in the context, the product ini's RSA signature alone is checked.
    IniDownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                 const RunContext& context, QObject* parent,
                                 double parentProgressRange, int maxRetries = defaultMaxRetries);

    void execute() override;
    void reset() override;
    // Also ends a wait before a retry, at once.
    void userCanceled() override;

    [[nodiscard]] QString localIniPath() const;
    [[nodiscard]] QString localManifestPath() const;
    // Where a fetched copy of localFile lies until it has passed its checks.
    [[nodiscard]] static QString fetchedPath(const QString& localFile);

    // The stage's result: the checked manifest, once the stage has finished.
    [[nodiscard]] const ReleaseManifest& manifest() const { return checkedManifest; }
    // The checked release the run goes back from, once the stage has finished; its manifest is
    // empty when the run does not go back or has no manifest key.
    [[nodiscard]] const NewerRelease& newerRelease() const { return checkedNewerRelease; }

protected:
    void subtasksDone() override;

private:
    struct Fetch
    {
        QString remotePath;
        QString localFile;
        qint64 maxSize = 0;
    };

    void makeSubtasksAndStart();
    // The target's files and then those of the release the run goes back from, if any.
    [[nodiscard]] QList<Fetch> filesToFetch() const;
    [[nodiscard]] QList<Fetch> targetFetches() const;
    [[nodiscard]] QList<Fetch> newerFetches() const;
    void addFetches(const QList<Fetch>& files, double weight);
    void addManifestCheck(double weight);
    void addNewerCheck(double weight);
    [[nodiscard]] QString noMirrorText() const;
    [[nodiscard]] bool checksManifest() const;
    // With a manifest key, in a run that goes back from the installed version.
    [[nodiscard]] bool fetchesNewerRelease() const;
    // Where the installed version's product ini and manifest are kept in the session.
    [[nodiscard]] QString localNewerIniPath() const;
    [[nodiscard]] QString localNewerManifestPath() const;
    // After a failed verification: another attempt, at once or after a wait, or the end.
    void checkFailed(const Failure& failure);
    void retry();
    // The checked copies take the place of those an interrupted run kept; a failure, told in
    // the log too, when one cannot be moved.
    [[nodiscard]] Failure adoptFetchedCopies();
    // The kept ini (and manifest) exist and are those just fetched, byte for byte.
    [[nodiscard]] bool keptCopiesMatchFetched() const;
    // Removes whatever the session holds besides the fetched copies.
    void discardSessionDownloads();

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    const RunContext& context;
    const int maxRetries;
    int retries = 0;
    QTimer* retryTimer;
    CheckManifestTaskSpecification* manifestCheck = nullptr; // of the current attempt
    CheckManifestTaskSpecification* newerCheck = nullptr;    // of the current attempt
    ReleaseManifest checkedManifest;
    NewerRelease checkedNewerRelease;
};
