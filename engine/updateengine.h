#pragma once

#include "usersettings.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>

class BannerImageFetch;
class BannerQuery;
class Configuration;
class MainTaskSpecification;
class ProgressThrottle;
class Mirrors;
class QNetworkAccessManager;
struct RunContext;

// Drives one update run for the window: checks that it can begin, resumes or cleans up an
// interrupted earlier run, fixes the session's temporary directory, builds the mirror list, runs
// the main task, reports download figures once a tick and removes the temporary files after
// success. Also starts the banner service's query, whose image BannerImageFetch fetches. Never
// touches the user interface.
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

    explicit UpdateEngine(Configuration& configuration, QObject* parent = nullptr,
                          std::chrono::milliseconds tickInterval = defaultTickInterval);
    ~UpdateEngine() override;

    // Settles the version of the run before the window shows it (VersionConfirmation). False
    // when the run must install nothing.
    [[nodiscard]] bool confirmVersion();
    // What the window shows about the channels, a line each, translated; empty when all is well.
    [[nodiscard]] const QStringList& channelNotices() const { return notices; }

    [[nodiscard]] bool initialize();
    bool startUpdate();
    [[nodiscard]] bool busy() const;
    void reset();
    void cleanup();

    // Asks the banner service for a banner through query, which the engine takes over; the image
    // arrives as bannerFound. Does nothing while a banner image is still being fetched.
    void getBanner(std::unique_ptr<BannerQuery> query);

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
    void onTaskFinished();
    void onTaskCanceled();

private:
    // A main task may be released from inside one of its own signals, so it goes on the next turn
    // of the event loop. The engine is also its QObject parent: a task released but not yet
    // deleted dies with the engine, before the network manager it uses.
    struct DeleteLater
    {
        void operator()(QObject* object) const { object->deleteLater(); }
    };

    void setUpProxy();
    void recordInstalledRelease();
    [[nodiscard]] bool makeMirrorList();
    void releaseMainTask();

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
    // The window gets the run's progress at most once per interval, and the last value always.
    ProgressThrottle* progress;
    QNetworkAccessManager* networkManager;
    QStringList notices;
    BannerImageFetch* bannerImage;
    bool setUpFailed = false;
    // The installed version when the decided one is older; see LaunchOptions::goingBackFrom.
    qint32 goingBackFrom = 0;
};
