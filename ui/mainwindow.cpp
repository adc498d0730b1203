#include "mainwindow.h"

#include "banner.h"
#include "changelogviewer.h"
#include "configuration.h"
#include "newsbanner.h"
#include "updateengine.h"
#include "urlclicklabel.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Exit codes the window ends the program with.
constexpr int configurationErrorExitCode = 1;
constexpr int engineErrorExitCode = 2;

// The error title belongs to the generic context, shared with the configuration's boxes.
QString errorTitle()
{
    return QCoreApplication::translate("QObject", "Error");
}

QString kilobytes(quint64 bytes)
{
    return QString::number(bytes / MainWindow::bytesPerKilobyte);
}

} // namespace

MainWindow::MainWindow(Configuration& configuration, ClientLauncher startClient, QWidget* parent)
    : QWidget(parent)
    , configuration(configuration)
    , engine(new UpdateEngine(configuration, this))
    , startClient(std::move(startClient))
{
    connectEngine();
    setupUi(this);
    // Queued: the log is shown by the same click and must have its new size when scrolled.
    connect(detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed,
            Qt::QueuedConnection);
    // Direct, after the form has shown the log: lines arriving from then on go in behind.
    connect(detailsButton, &QPushButton::toggled, this, [this](bool shown) {
        if (shown)
            showCollectedLogLines();
    });
    sonavelleLabel->setUrl(productWebSite());
    connectLinkReports();
    outputTextEdit->hide();
    onDownloadProgress(0, 0, 0, false);

    connect(&configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
    engine->getBanner(std::make_unique<Banner>());
}

void MainWindow::connectEngine()
{
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::sessionDirectoryError, this, &MainWindow::onFatalConfigError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);
}

// Links that were not opened are told in the details log.
void MainWindow::connectLinkReports()
{
    connect(newsBanner, &NewsBanner::message, this, &MainWindow::onAppendText);
    connect(banner, &UrlClickLabel::message, this, &MainWindow::onAppendText);
    connect(sonavelleLabel, &UrlClickLabel::message, this, &MainWindow::onAppendText);
}

bool MainWindow::mayUseNetwork() const
{
    return engine->mayUseNetwork();
}

QString MainWindow::productWebSite()
{
    return u"https://www.sonavelle.com/"_s;
}

QString MainWindow::versionText(UpdateChannel channel, const QString& versionName)
{
    QString channelWord;
    switch (channel) {
    case UpdateChannel::Stable:
        channelWord = tr("Stable");
        break;
    case UpdateChannel::Beta:
        channelWord = tr("Beta");
        break;
    case UpdateChannel::Alpha:
        channelWord = tr("Alpha");
        break;
    }

    QString text;
    if (!versionName.isEmpty())
        text += u"<div style=\"font-weight:bold;font-size:14px\">"_s +
                tr("Update to Sonavelle %1")
                        .arg(versionName.left(maxVersionNameLength).toHtmlEscaped()) +
                u"</div>"_s;
    text += u"<div style=\"margin-top:8px\">"_s +
            tr("You are currently on <strong>%1 channel</strong>.").arg(channelWord) + u"</div>"_s;
    return text;
}

void MainWindow::confirmVersion()
{
    versionRefused = !engine->confirmVersion();
    updateDone = versionRefused;
}

void MainWindow::setUIToConfigSpecs()
{
    const QString& name = configuration.versionName;
    if (name.size() > maxVersionNameLength)
        onAppendText(u"The version name is %1 characters long; only the first %2 are shown"_s.arg(
                QString::number(name.size()), QString::number(maxVersionNameLength)));
    QString text = versionText(configuration.channel, name);
    for (const QString& notice : engine->channelNotices())
        text += u"<div style=\"margin-top:8px\">"_s + notice.toHtmlEscaped() + u"</div>"_s;
    versionLabel->setText(text);
    if (versionRefused)
        startButton->setText(tr("Start Sonavelle"));
    if (configuration.noUser)
        startButton->setEnabled(false);
}

void MainWindow::setNews()
{
    newsBanner->setNews(configuration.news);
}

void MainWindow::onFatalConfigError(const QString& errorMessage)
{
    QMessageBox::critical(nullptr, errorTitle(), errorMessage, QMessageBox::Ok);
    endProgram(configurationErrorExitCode);
}

void MainWindow::onFatalError(const QString& errorMessage)
{
    onAppendText(errorMessage);
    QMessageBox::critical(this, errorTitle(), errorMessage, QMessageBox::Ok);
    endProgram(engineErrorExitCode);
}

void MainWindow::endProgram(int exitCode)
{
    QCoreApplication::exit(exitCode);
}

void MainWindow::onError(const QString& errorMessage)
{
    onAppendText(errorMessage);
    QMessageBox::critical(this, errorTitle(), errorMessage, QMessageBox::Ok);
}

void MainWindow::onAutoStartUpdate()
{
    // Not a click on the button: unattended, the button is disabled.
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    if (updateDone) {
        startClient();
        close();
        return;
    }
    if (engine->busy())
        return;
    if (!engine->initialize())
        return;
    startButton->setEnabled(false);
    engine->startUpdate();
}

void MainWindow::onAppendText(const QString& text)
{
    // Log lines are plain text: a path or a server's answer is shown as it is, never as markup.
    qInfo().noquote() << text; // also on standard error, for unattended runs and their logs
    // A text document costs about a kilobyte per paragraph, and an update of many files writes
    // three lines per file: a hidden log only collects its lines, and takes them when shown.
    if (outputTextEdit->isHidden()) {
        collectedLogLines.append(text);
        return;
    }
    appendToLog(text);
}

void MainWindow::showCollectedLogLines()
{
    if (collectedLogLines.isEmpty())
        return;
    // One insertion: every line feed starts a new paragraph.
    appendToLog(collectedLogLines.join(u'\n'));
    collectedLogLines.clear();
}

void MainWindow::appendToLog(const QString& text)
{
    QScrollBar* scrollBar = outputTextEdit->verticalScrollBar();
    const bool atBottom = scrollBar->value() >= scrollBar->maximum();
    QTextCursor cursor(outputTextEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (!outputTextEdit->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    if (atBottom)
        scrollBar->setValue(scrollBar->maximum());
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    // The bar ignores values outside its range; a sum of weights may end a hair above 1.
    const qreal bounded = std::clamp(doneFrac, qreal(0), qreal(1));
    totalProgressBar->setValue(static_cast<int>(bounded * progressSteps));
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                                    bool downloading)
{
    showTransferLabels(downloading);
    if (!downloading)
        return;
    totalSizeLabel->setText(tr("%1 KB").arg(kilobytes(downloadDone)));
    totalTotalSizeLabel->setText(tr("%1 KB").arg(kilobytes(downloadTotal)));
    downloadSpeedLabel->setText(tr("%1 KB/s").arg(kilobytes(speed)));
}

void MainWindow::showTransferLabels(bool visible)
{
    for (QLabel* label : {totalSizeLabel, label_6, totalTotalSizeLabel, downloadSpeedLabel})
        label->setVisible(visible);
}

void MainWindow::onUpdateFinished()
{
    updateDone = true;
    // Unattended, the client starts by itself, unless the user is reading the change log.
    if (configuration.noUser && !ChangeLogViewer::instance()) {
        QTimer::singleShot(clientStartDelay, this, &MainWindow::on_startButton_clicked);
        return;
    }
    // Enabled first: a disabled button does not take the focus.
    startButton->setText(tr("Start Sonavelle"));
    startButton->setEnabled(true);
    startButton->setFocus();
}

void MainWindow::onUpdateCanceled(const QString& reason)
{
    if (closeRequested) {
        endProgram(0);
        return;
    }
    updateDone = false;
    engine->reset();
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    onAppendText(tr("Update cancelled"));
    totalProgressBar->setValue(0);
    const QString text =
            reason.isEmpty() ? tr("Update cancelled.") : tr("Update cancelled: %1.").arg(reason);
    QMessageBox::critical(this, tr("Update"), text, QMessageBox::Ok);
}

void MainWindow::onOtherInstanceActivate(const QString& message)
{
    if (message != u"#")
        return;
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(const QByteArray& bannerImage, const QString& clickUrl)
{
    QPixmap pixmap;
    if (!pixmap.loadFromData(bannerImage))
        return;
    const QUrl url(clickUrl);
    banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    banner->setUrl(clickUrl);
    banner->setPixmap(pixmap);
}

void MainWindow::onDetailsPressed()
{
    if (outputTextEdit->isVisible()) {
        QScrollBar* scrollBar = outputTextEdit->verticalScrollBar();
        scrollBar->setValue(scrollBar->maximum());
    }
}

void MainWindow::on_changelogButton_clicked()
{
    if (!mayUseNetwork())
        return;
    ChangeLogViewer::showRemoteChangeLogDialog(
            this, engine->networkAccessManager(), configuration.installation(),
            QString::number(configuration.clientVersion), configuration.clientType);
    connect(ChangeLogViewer::instance(), &ChangeLogViewer::message, this, &MainWindow::onAppendText,
            Qt::UniqueConnection);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (closeRequested || !askToAbort())
        return;
    // The run may have ended while the question was open; then there is nothing to wait for.
    if (!engine->busy()) {
        event->accept();
        return;
    }
    closeRequested = true;
    engine->cancelUpdate();
}

bool MainWindow::askToAbort()
{
    // No default button: Enter must not abort the update by accident.
    QMessageBox box(QMessageBox::Question, tr("Question"),
                    tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
                    QMessageBox::Yes | QMessageBox::No, this);
    return box.exec() == QMessageBox::Yes;
}
