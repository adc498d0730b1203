#pragma once

#include "ui_mainwindow.h"
#include "updatechannel.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <chrono>
#include <functional>

class Configuration;
class QCloseEvent;
class UpdateEngine;

// The updater's only window: where the update leads, the news and picture banners, progress,
// sizes and rate, the details log, and the start button that starts the update, restarts it after
// a cancellation and starts the updated client at the end. Owns the update engine, whose signals
// it turns into what the user sees; the entry point parents the single-instance listener to it.
class MainWindow
    : public QWidget
    , private Ui::MainWindow
{
    Q_OBJECT

public:
    // Unattended, the updated client starts this long after the update finished.
    static constexpr std::chrono::milliseconds clientStartDelay{1000};
    static constexpr int progressSteps = 1000;
    static constexpr quint64 bytesPerKilobyte = 1000;
    // The version name comes from an unsigned reply; a longer one is cut.
    static constexpr qsizetype maxVersionNameLength = 64;

    // Starts the updated client; the window closes right after it.
    using ClientLauncher = std::function<void()>;

    MainWindow(Configuration& configuration, ClientLauncher startClient, QWidget* parent = nullptr);

    // Settles the version to install (see UpdateEngine::confirmVersion); when it is refused, the
    // window offers to start the client as it is, and an unattended run starts it.
    void confirmVersion();
    // Shows where the update leads; unattended, the user does not start it.
    void setUIToConfigSpecs();
    // Hands the news text to the ticker; called once the window is shown.
    void setNews();

    // False when the engine's set-up failed: its fatal error is on its way, and nothing may go
    // out before it.
    [[nodiscard]] bool mayUseNetwork() const;

    [[nodiscard]] static QString productWebSite();
    // The version label's rich text; the version name in it is plain text, cut to
    // maxVersionNameLength.
    [[nodiscard]] static QString versionText(UpdateChannel channel, const QString& versionName);

public slots:
    void onFatalConfigError(const QString& errorMessage);
    void onFatalError(const QString& errorMessage);
    void onError(const QString& errorMessage);
    void onAutoStartUpdate();
    void on_startButton_clicked();
    void onAppendText(const QString& text);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                            bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled(const QString& reason);
    void onOtherInstanceActivate(const QString& message);
    void onBannerFound(const QByteArray& bannerImage, const QString& clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void connectEngine();
    void connectLinkReports();
    void showTransferLabels(bool visible);
    // Adds text as new paragraphs at the end of the log, following it if it was at the bottom.
    void appendToLog(const QString& text);
    void showCollectedLogLines();
    [[nodiscard]] bool askToAbort();
    static void endProgram(int exitCode);

    Configuration& configuration;
    UpdateEngine* engine;
    bool updateDone = false;
    bool versionRefused = false;
    bool closeRequested = false;
    ClientLauncher startClient;
    // Lines that arrived while the log was hidden, in order.
    QStringList collectedLogLines;
};
