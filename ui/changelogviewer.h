#pragma once

#include "installationlayout.h"

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <chrono>

class ChangeLogFetch;
class QNetworkAccessManager;
class QTextBrowser;
class QTimer;
class QUrl;

// A non-modal dialog showing the change log of the version being installed, fetched from the
// version's directory on a mirror of the installation chosen at random. A mirror that fails, is too
// slow or answers with a redirection is dropped and the next one is tried. At most one such dialog
// exists. The change log is plain text unless the version's signed release manifest lists it (see
// ChangeLogFetch); then it may be rich text, which loads nothing. Web links in it open in the
// browser; for any other link, message says why not. The requests go through the network access
// of the run, and so through its proxy.
class ChangeLogViewer : public QDialog
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds defaultRequestTimeout{2000};
    static constexpr int defaultWidth = 617;
    static constexpr int maximumHeight = 500;
    // Room beside the widest line for the frame, the margins and a vertical scroll bar.
    static constexpr int lineMargin = 50;

    // manager is not owned; a viewer that outlives it loads nothing more. The mirrors are those
    // of installation.
    ChangeLogViewer(QNetworkAccessManager* manager, InstallationLayout installation,
                    QWidget* parent = nullptr,
                    std::chrono::milliseconds requestTimeout = defaultRequestTimeout);
    ~ChangeLogViewer() override;

    // Opens the one dialog and loads the change log of the version directory path, or brings
    // the open dialog to the front without reloading it.
    // With the client type, the release manifest beside the change log is checked as well.
    static void showRemoteChangeLogDialog(QWidget* parent, QNetworkAccessManager* manager,
                                          const InstallationLayout& installation,
                                          const QString& path, const QString& clientType = {});
    // The open dialog, or null.
    [[nodiscard]] static ChangeLogViewer* instance() { return m_instance; }

    // Starts or continues fetching; an empty path keeps the previous one.
    void requestRemote(const QString& path);
    // The next base URL to try, or empty when none is left.
    [[nodiscard]] QString getRemoteUrl();
    // Takes one base URL at random out of those not tried yet.
    [[nodiscard]] QString getRandomMirror();
    // Shows the text and fits the dialog to it; rich text only when asked for (Qt::AutoText).
    void load(const QString& text, Qt::TextFormat format = Qt::PlainText);

    [[nodiscard]] static QString changelogFileName();
    // The version's directory below a mirror's base URL, and the change log's URL there.
    [[nodiscard]] static QString versionUrl(const QString& baseUrl, const QString& path);
    [[nodiscard]] static QString requestUrl(const QString& baseUrl, const QString& path);
    // The body of a change log page: the system's encoding, or Unicode as its byte-order mark
    // says.
    [[nodiscard]] static QString decodeText(const QByteArray& data);

signals:
    // A line for the details log.
    void message(QString message);

private slots:
    void onFetchDone(bool found, const QByteArray& body, bool vouched, const QString& why);
    void onRequestTimeout();
    void onAnchorClicked(const QUrl& url);

private:
    void readMirrorUrls();
    void showStatus(const QString& text);
    void releaseFetch();
    // True when the text is the change log rather than a page about a redirection.
    [[nodiscard]] static bool isChangeLog(const QString& text);

    static ChangeLogViewer* m_instance;

    const InstallationLayout installation;
    QTextBrowser* textEdit;
    QPointer<QNetworkAccessManager> networkManager;
    QPointer<ChangeLogFetch> fetch;
    QTimer* requestTimer = nullptr;
    QStringList mirrorUrls;
    bool mirrorsLoaded = false;
    QString changelogPath;
    QString clientType;
    std::chrono::milliseconds requestTimeout;
};
