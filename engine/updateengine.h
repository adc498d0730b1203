#pragma once

#include "usersettings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class BannerQuery;
class ChannelStatement;
class Configuration;
class MainTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QUrl;
class ReplaceJournal;
struct RunContext;

// Drives one update run for the window: checks that it can begin, resumes or cleans up an
// interrupted earlier run, fixes the session's temporary directory, builds the mirror list, runs
// the main task, reports download figures once a tick and removes the temporary files after
// success. Also fetches the banner image that the banner service names. Never touches the user
// interface.
class UpdateEngine : public QObject
{
    Q_OBJECT
    friend struct UpdateEnginePrivateAccess; // what the tests read; see the _p.h header

public:
    enum EngineState { Stopped = 0, Prepared = 1, Updating = 2, Done = 3, Aborted = 4 };
    Q_ENUM(EngineState)

    static constexpr std::chrono::milliseconds defaultTickInterval{1000};
    // The shortest time between two progress reports to the window, as Qt's replies throttle
    // theirs.
    static constexpr std::chrono::milliseconds progressInterval{100};
    static constexpr quint16 defaultProxyPort = 3128;
    // The longest the start waits for the channel statement, whatever the mirrors do.
    static constexpr std::chrono::seconds channelStatementWait{10};
    // A banner image announced or arriving larger than this is not fetched.
    static constexpr qint64 maxBannerImageSize = 270000;

    explicit UpdateEngine(Configuration& configuration, QObject* parent = nullptr,
                          std::chrono::milliseconds tickInterval = defaultTickInterval);
    ~UpdateEngine() override;

    // Settles the version of the run before the window shows it: a signed channel statement, where
    // a mirror serves one, decides over the update server, with its rollouts and withdrawals; a
    // version older than the installed one is refused unless the user named it, changed the
    // channel since, or the statement withdrew the installed one. Waits for the statement, as the
    // version query does. False when the run must install nothing.
    [[nodiscard]] bool confirmVersion();
    // What the window shows about the channels, a line each; empty when all is well.
    [[nodiscard]] const QStringList& channelNotices() const { return notices; }

    [[nodiscard]] bool initialize();
    bool startUpdate();
    [[nodiscard]] bool busy() const;
    void reset();
    void cleanup();
    static void cleanupDirectory(const QString& path);
    // Removes the backups of the updater's own files in path, except those that the journal of
    // an unrepaired session still names.
    static void removeOldFiles(const QString& path);

    using LogLine = std::function<void(const QString& line)>;
    // Finishes what a killed run left in the application root: undone to exactly the old
    // version when it had not committed its replacement (the downloads stay for the next run),
    // its deletions finished and its session removed when it had. Every start does this first.
    // True when nothing is left to repair.
    [[nodiscard]] static bool repairKilledRun(const LogLine& log);

    // Asks the banner service for a banner through query, which the engine takes over; the image
    // arrives as bannerFound. Does nothing while a banner image is still being fetched.
    void getBanner(std::unique_ptr<BannerQuery> query);

    // Only a real directory of this user named like a session directory may be reused or emptied;
    // the record naming it lives in a settings file that anything could have edited.
    [[nodiscard]] static bool isSessionDirectory(const QString& path);

    // False after a fatal error of the set-up, such as an invalid proxy: then nothing may go out,
    // no query of the update server or the banner service and no request.
    [[nodiscard]] bool mayUseNetwork() const { return !setUpFailed; }

    [[nodiscard]] EngineState state() const { return engineState; }
    [[nodiscard]] QNetworkAccessManager* networkAccessManager() const { return networkManager; }

public slots:
    void cancelUpdate();

signals:
    void fatalError(QString errorMessage);
    // No session directory could be made: as fatal, but the start's fault, not the engine's.
    void sessionDirectoryError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                          bool downloading);
    void message(QString message);
    void updateFinished();
    // reason says why the run failed; empty when the user stopped it.
    void updateCanceled(QString reason);
    void bannerFound(QByteArray bannerImage, QString clickUrl);

private slots:
    void onTimer();
    void onTaskProgress(qreal doneFrac);
    void flushProgress();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    void onBannerDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

private:
    // A main task may be released from inside one of its own signals, so it goes on the next turn
    // of the event loop. The engine is also its QObject parent: a task released but not yet
    // deleted dies with the engine, before the network manager it uses.
    struct DeleteLater
    {
        void operator()(QObject* object) const { object->deleteLater(); }
    };

    void setUpProxy();
    [[nodiscard]] std::optional<ChannelStatement> fetchChannelStatement(const QString& channel);
    // The version the statement gives this installation; true when it goes back to an older one.
    [[nodiscard]] bool followChannelStatement(const ChannelStatement& statement,
                                              const QString& channel, int installedVersion,
                                              int bucket);
    void recordChannelStatement(const ChannelStatement& statement, const QString& channel);
    // A line for the log and the window.
    void notify(const QString& text);
    void recordInstalledRelease();
    // The directory the session record names, if it is one; empty otherwise.
    [[nodiscard]] static QString recordedSessionDirectory();
    // The journal of a killed run: in the application root, or where older updaters kept it.
    [[nodiscard]] static ReplaceJournal killedRunJournal(const QString& sessionDirectory);
    [[nodiscard]] QString previousSessionDirectory();
    void removePreviousSession(int version, const QString& directory);
    // Empties and removes a session directory and drops the record; true when it is gone.
    static bool removeSession(const QString& directory);
    [[nodiscard]] bool makeMirrorList();
    void releaseMainTask();
    static bool removeDirectory(const QString& path);
    [[nodiscard]] static bool isBannerImageUrl(const QUrl& url);
    void releaseBannerReply();

    EngineState engineState = Stopped;
    Configuration& configuration;
    // Read once, when the engine is made: the network access is set up with its proxy then.
    const UserSettings settings;
    // Handed down the task tree as plain pointers; a download holds it through a guard.
    std::unique_ptr<Mirrors> mirrorList;
    // What the run was prepared with; built anew by every initialize(), while no task runs.
    std::unique_ptr<const RunContext> runContext;
    std::unique_ptr<MainTaskSpecification, DeleteLater> mainTask; // the current run's
    QTimer* timer;
    // Byte progress comes on every read; the window gets it at most once per interval, and the
    // last value before the run ends always.
    QTimer* progressTimer;
    QElapsedTimer sinceProgress;
    qreal pendingProgress = 0;
    bool progressPending = false;
    QNetworkAccessManager* networkManager;
    QStringList notices;
    QString bannerClickUrl;
    QNetworkReply* bannerReply = nullptr;
    bool setUpFailed = false;
    // The installed version a signed withdrawal takes this run back from; 0 for none.
    int withdrawnFrom = 0;
};
