#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>

class Configuration;
class MainTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Drives one update run for the window: checks that it can begin, resumes or cleans up an
// interrupted earlier run, fixes the session's temporary directory, builds the mirror list, runs
// the main task, reports download figures once a tick and removes the temporary files after
// success. Never touches the user interface.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    enum EngineState { Stopped = 0, Prepared = 1, Updating = 2, Done = 3, Aborted = 4 };
    Q_ENUM(EngineState)

    static constexpr std::chrono::milliseconds defaultTickInterval{1000};
    static constexpr quint16 defaultProxyPort = 3128;

    explicit UpdateEngine(Configuration& configuration, QObject* parent = nullptr,
                          std::chrono::milliseconds tickInterval = defaultTickInterval);

    [[nodiscard]] bool initialize();
    bool startUpdate();
    [[nodiscard]] bool busy() const;
    void reset();
    void cleanup();
    void cleanupDirectory(const QString& path);
    static void removeOldFiles(const QString& path);

    // Only a real directory of this user named like a session directory may be reused or emptied;
    // the record naming it lives in a settings file that anything could have edited.
    [[nodiscard]] static bool isSessionDirectory(const QString& path);

    [[nodiscard]] EngineState state() const { return engineState; }
    [[nodiscard]] QNetworkAccessManager* networkAccessManager() const { return networkManager; }

public slots:
    void cancelUpdate();

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                          bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();

private:
    void setUpProxy();
    [[nodiscard]] QString previousSessionDirectory();
    void removePreviousSession(int version, const QString& directory);
    [[nodiscard]] bool makeMirrorList();
    void releaseMainTask();
    static bool removeDirectory(const QString& path);

    EngineState engineState = Stopped;
    Configuration& configuration;
    Mirrors* mirrorList = nullptr;
    MainTaskSpecification* mainTask = nullptr;
    QTimer* timer;
    QNetworkAccessManager* networkManager;
};
