#include "updateengine.h"

#include "approot.h"
#include "bannerquery.h"
#include "channelstatementfetch.h"
#include "configuration.h"
#include "ed25519.h"
#include "installationlayout.h"
#include "installedrelease.h"
#include "maintaskspecification.h"
#include "mirrors.h"
#include "mirrorsini.h"
#include "replacejournal.h"
#include "rolloutbucket.h"
#include "runcontext.h"
#include "settingsfile.h"
#include "sharedrandom.h"
#include "tomcryptutil.h"
#include "updateinidata.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>

#include <unistd.h>
#include <utility>

using namespace Qt::StringLiterals;

UpdateEngine::UpdateEngine(Configuration& configuration, QObject* parent,
                           std::chrono::milliseconds tickInterval)
    : QObject(parent)
    , configuration(configuration)
    , settings(UserSettings::read())
    , timer(new QTimer(this))
    , progressTimer(new QTimer(this))
    , networkManager(new QNetworkAccessManager(this))
{
    connect(&configuration, &Configuration::message, this, &UpdateEngine::message);
    timer->setInterval(tickInterval);
    connect(timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    progressTimer->setSingleShot(true);
    // A coarse timer may fire early, and the window would hear twice within the interval.
    progressTimer->setTimerType(Qt::PreciseTimer);
    connect(progressTimer, &QTimer::timeout, this, &UpdateEngine::flushProgress);
    setUpProxy();
}

UpdateEngine::~UpdateEngine() = default;

void UpdateEngine::setUpProxy()
{
    const QString& proxyText = settings.proxy;
    if (proxyText.isEmpty()) {
        networkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(proxyText, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        // Nobody listens yet while the window is being built; report from the event loop.
        const QString text = u"'%1' is an invalid proxy specification"_s.arg(proxyText);
        setUpFailed = true;
        QMetaObject::invokeMethod(
                this, [this, text] { emit fatalError(text); }, Qt::QueuedConnection);
        return;
    }
    networkManager->setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), url.port(defaultProxyPort)));
}

bool UpdateEngine::confirmVersion()
{
    const QString channel = ChannelStatement::channelName(configuration.channel);
    const InstalledRelease installed = InstalledRelease::read();
    const int installedHere =
            installed.isRecorded() && installed.channel == channel ? installed.version : 0;
    // Drawn on the first run, whatever comes: the installation's place in every later rollout.
    bool bucketKept = true;
    const int bucket = RolloutBucket::read(&bucketKept);
    if (!bucketKept)
        emit message(u"Could not record the rollout bucket in %1"_s.arg(UpdateIniData::filename()));
    bool goingBack = false;
    if (configuration.versionFromServer) {
        if (const auto statement = fetchChannelStatement(channel))
            goingBack = followChannelStatement(*statement, channel, installedHere, bucket);
    }
    // Mirrors keep old versions for the deltas: a spoofed answer could name any of them.
    if (!configuration.versionFromServer || goingBack ||
        configuration.clientVersion >= installedHere)
        return true;
    emit message(u"Not installing version %1 that the update server announces: version %2 is "
                 u"installed"_s.arg(configuration.clientVersion)
                         .arg(installedHere));
    return false;
}

std::optional<ChannelStatement> UpdateEngine::fetchChannelStatement(const QString& channel)
{
    const QByteArray key = Ed25519::builtInChannelKey().toByteArray();
    // Where the proxy is unusable nothing may leave; the run ends with that error.
    if (key.isEmpty() || configuration.manifestKey.isEmpty() || setUpFailed)
        return {};
    AppRootSettings mirrorsIni(MirrorsIni::fileName());
    ChannelStatementFetch fetch(networkManager,
                                {MirrorsIni::urls(mirrorsIni), configuration.clientType, key,
                                 channel, InstalledRelease::confirmedVersion(channel),
                                 InstalledRelease::confirmedStatementTime()});
    connect(&fetch, &ChannelStatementFetch::message, this, &UpdateEngine::message);
    QEventLoop loop;
    connect(&fetch, &ChannelStatementFetch::finished, &loop, &QEventLoop::quit);
    // However many mirrors do not answer, the start waits no longer than this.
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    fetch.start();
    if (!fetch.isFinished()) {
        deadline.start(channelStatementWait);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!fetch.isFinished())
        emit message(u"No mirror delivered the channel statement within %1 s; the update server "
                     u"alone names the version"_s.arg(channelStatementWait.count()));
    return fetch.statement();
}

bool UpdateEngine::followChannelStatement(const ChannelStatement& statement, const QString& channel,
                                          int installedVersion, int bucket)
{
    recordChannelStatement(statement, channel);
    if (statement.version(channel) == 0)
        return false;
    // A user who starts the update asks for it, as a version named on the command line does.
    const bool early = !configuration.noUser;
    const ChannelStatement::Choice choice =
            statement.choose(channel, installedVersion, bucket, early);
    using Reason = ChannelStatement::Choice::Reason;
    withdrawnFrom = choice.reason == Reason::Withdrawn ? installedVersion : 0;
    if (choice.reason == Reason::Withdrawn)
        notify(u"Version %1 was withdrawn: going back to version %2"_s.arg(installedVersion)
                       .arg(choice.version));
    else if (choice.reason == Reason::Early)
        notify(u"Early update: this version is still being rolled out"_s);
    if (choice.version == configuration.clientVersion)
        return choice.reason == Reason::Withdrawn;
    emit message(u"The update server announces version %1, the signed channel statement %2: "
                 u"installing %2"_s.arg(configuration.clientVersion)
                         .arg(choice.version));
    configuration.clientVersion = choice.version;
    // The name came with the server's version.
    configuration.versionName.clear();
    return choice.reason == Reason::Withdrawn;
}

// What no later statement may go back behind, and whether this one is out of date.
void UpdateEngine::recordChannelStatement(const ChannelStatement& statement, const QString& channel)
{
    const int stated = statement.version(channel);
    if (stated > InstalledRelease::confirmedVersion(channel) &&
        !InstalledRelease::writeConfirmedVersion(channel, stated))
        emit message(
                u"Could not record the confirmed version in %1"_s.arg(UpdateIniData::filename()));
    const QDateTime confirmed = InstalledRelease::confirmedStatementTime();
    if ((!confirmed.isValid() || statement.signedAt() > confirmed) &&
        !InstalledRelease::writeConfirmedStatementTime(statement.signedAt()))
        emit message(u"Could not record the time of the channel statement in %1"_s.arg(
                UpdateIniData::filename()));
    if (statement.hasExpired(QDateTime::currentDateTimeUtc()))
        notify(u"Warning: the update channels were last confirmed on %1"_s.arg(
                statement.signedAt().toString(u"yyyy-MM-dd HH:mm 'UTC'"_s)));
}

void UpdateEngine::notify(const QString& text)
{
    notices.append(text);
    emit message(text);
}

bool UpdateEngine::initialize()
{
    // The set-up's fatal error is on its way; no run may start meanwhile.
    if (setUpFailed)
        return false;
    try {
        crypt_init();
    } catch (const crypt_exception& e) {
        emit fatalError(QString::fromUtf8(e.what()));
        return false;
    }
    if (!QFileInfo::exists(AppRoot::filePath(MirrorsIni::fileName()))) {
        emit fatalError(u"%1 is missing, cannot proceed."_s.arg(MirrorsIni::fileName()));
        return false;
    }
    SharedRandom::seedFromClock();

    // The start has done this already; a repair that failed there gets another try, and no new
    // run may work on an installation that is not whole.
    if (!repairKilledRun([this](const QString& line) { emit message(line); })) {
        emit fatalError(u"Could not undo an interrupted update; the installation may be "
                        u"incomplete"_s);
        return false;
    }
    // An interrupted session's directory is reused so its downloads are not fetched again.
    SessionLayout session(previousSessionDirectory());
    QString error;
    if (session.directory().isEmpty() && !SessionLayout::create(session, error)) {
        emit sessionDirectoryError(error);
        return false;
    }
    // Without the record, a start after a kill would not find the run to repair.
    if (!UpdateIniData::modify(configuration.clientVersion, session.directory(),
                               configuration.clientType, ReplaceJournal().path())) {
        removeDirectory(session.directory());
        emit fatalError(
                u"Could not record the update session in %1"_s.arg(UpdateIniData::filename()));
        return false;
    }

    if (!makeMirrorList())
        return false;
    runContext = std::make_unique<const RunContext>(
            RunContext{{configuration.clientType, configuration.clientVersion,
                        configuration.channel, configuration.noUser, withdrawnFrom},
                       settings,
                       configuration.manifestKey,
                       InstallationLayout::ofThisProgram(),
                       std::move(session)});
    engineState = Prepared;
    return true;
}

// The directory of an interrupted run for the same version and client type, or empty; the session
// of anything else is removed. What a killed run left in the application root has been repaired
// before.
QString UpdateEngine::previousSessionDirectory()
{
    int version = 0;
    QString type;
    QString directory;
    if (!UpdateIniData::get(&version, &type, &directory))
        return {};
    if (version == configuration.clientVersion && type == configuration.clientType) {
        // Anything else counts as no record; the new session's record replaces it.
        if (!isSessionDirectory(directory))
            return {};
        emit message(u"Previous update session for v. %1 found"_s.arg(version));
        return directory;
    }
    if (!isSessionDirectory(directory)) {
        emit message(u"Previous session directory %1 is not a session directory, leaving it in "
                     u"place"_s.arg(directory));
        UpdateIniData::cleanup();
        return {};
    }
    removePreviousSession(version, directory);
    return {};
}

void UpdateEngine::removePreviousSession(int version, const QString& directory)
{
    emit message(u"Cleanup previous session (v. %1, %2) files..."_s.arg(version).arg(directory));
    const bool removed = removeSession(directory);
    if (QDir(QFileInfo(directory).absolutePath()).exists())
        emit message(removed ? u"Ok"_s : u"Failed to remove directory"_s);
}

QString UpdateEngine::recordedSessionDirectory()
{
    QString directory;
    if (UpdateIniData::get(nullptr, nullptr, &directory) && isSessionDirectory(directory))
        return directory;
    return {};
}

ReplaceJournal UpdateEngine::killedRunJournal(const QString& sessionDirectory)
{
    // Found in the application root alone: the session directory may have gone with a reboot.
    const ReplaceJournal journal(sessionDirectory);
    if (journal.exists() || sessionDirectory.isEmpty())
        return journal;
    return ReplaceJournal::keptInSession(sessionDirectory);
}

bool UpdateEngine::repairKilledRun(const LogLine& log)
{
    const QString directory = recordedSessionDirectory();
    const ReplaceJournal journal = killedRunJournal(directory);
    if (!journal.exists())
        return true;
    const bool committed = journal.isCommitted();
    log(committed
                ? u"Finishing the update that was interrupted, recorded in %1"_s.arg(journal.path())
                : u"Undoing the update that was interrupted, recorded in %1"_s.arg(journal.path()));
    if (!journal.repair(log))
        return false;
    // A committed run had installed every file: its session is done with.
    if (committed && !directory.isEmpty())
        removeSession(directory);
    return true;
}

bool UpdateEngine::removeSession(const QString& directory)
{
    cleanupDirectory(directory);
    const bool removed = removeDirectory(directory);
    UpdateIniData::cleanup();
    return removed;
}

bool UpdateEngine::makeMirrorList()
{
    // A restart replaces the list of the run before; no task refers to that one any more.
    mirrorList = std::make_unique<Mirrors>();
    connect(mirrorList.get(), &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrorList.get(), &Mirrors::message, this, &UpdateEngine::message);
    const bool made = configuration.channel == UpdateChannel::Alpha
                              ? mirrorList->initAlpha(AppRoot::filePath(u"update.ini"_s),
                                                      configuration.clientVersion)
                              : mirrorList->initDefault(AppRoot::filePath(MirrorsIni::fileName()),
                                                        configuration.clientVersion);
    mirrorList->shareSlots(settings.streams, !settings.proxy.isEmpty(), !settings.streamsGiven);
    return made;
}

bool UpdateEngine::startUpdate()
{
    mainTask.reset(
            new MainTaskSpecification(networkManager, mirrorList.get(), *runContext, this, 1.0));
    MainTaskSpecification* task = mainTask.get();
    connect(task, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(task, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(task, &TaskSpecification::updateProgress, this, &UpdateEngine::onTaskProgress);
    connect(task, &TaskSpecification::message, this, &UpdateEngine::message);

    engineState = Updating;
    timer->start();
    mainTask->execute();
    return true;
}

bool UpdateEngine::busy() const
{
    return engineState == Prepared || engineState == Updating;
}

void UpdateEngine::onTimer()
{
    if (engineState != Updating || !mainTask)
        return;
    quint64 downloadDone = 0;
    quint64 downloadTotal = 0;
    quint64 speed = 0;
    bool downloading = false;
    mainTask->timeTick(downloadDone, downloadTotal, speed, downloading);
    emit downloadProgress(downloadDone, downloadTotal, speed, downloading);
}

void UpdateEngine::onTaskProgress(qreal doneFrac)
{
    pendingProgress = doneFrac;
    progressPending = true;
    if (!sinceProgress.isValid() || sinceProgress.elapsed() >= progressInterval.count()) {
        flushProgress();
        return;
    }
    if (!progressTimer->isActive())
        progressTimer->start(progressInterval - std::chrono::milliseconds(sinceProgress.elapsed()));
}

void UpdateEngine::flushProgress()
{
    progressTimer->stop();
    if (!std::exchange(progressPending, false))
        return;
    sinceProgress.start();
    emit updateProgress(pendingProgress);
}

void UpdateEngine::onTaskFinished()
{
    flushProgress();
    timer->stop();
    recordInstalledRelease();
    cleanup();
    engineState = Done;
    emit message(u"Update successfully finished"_s);
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::recordInstalledRelease()
{
    const InstalledRelease installed{configuration.clientVersion,
                                     ChannelStatement::channelName(configuration.channel),
                                     mainTask ? mainTask->manifest().released() : QDateTime()};
    if (!installed.write())
        emit message(
                u"Could not record the installed version in %1"_s.arg(UpdateIniData::filename()));
}

void UpdateEngine::onTaskCanceled()
{
    flushProgress();
    timer->stop();
    engineState = Aborted;
    if (mainTask && mainTask->state() == TaskSpecification::UserCanceled)
        emit message(u"User aborted update"_s);
    const QString reason = mainTask ? mainTask->failure().text : QString();
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled(reason);
}

void UpdateEngine::cancelUpdate()
{
    if (engineState == Updating && mainTask)
        mainTask->userCanceled();
}

void UpdateEngine::reset()
{
    engineState = Stopped;
    releaseMainTask();
}

void UpdateEngine::releaseMainTask()
{
    progressTimer->stop();
    progressPending = false;
    if (!mainTask)
        return;
    disconnect(mainTask.get(), nullptr, this, nullptr);
    mainTask.reset();
}

void UpdateEngine::cleanup()
{
    emit message(u"Remove temporary files..."_s);
    QString directory;
    if (UpdateIniData::get(nullptr, nullptr, &directory)) {
        if (isSessionDirectory(directory))
            removeSession(directory);
        else
            UpdateIniData::cleanup();
    }
    emit message(u"Temporary files removed."_s);
}

void UpdateEngine::cleanupDirectory(const QString& path)
{
    // Symbolic links are neither followed nor deleted: they may point anywhere.
    const QDir directory(path);
    const auto common = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    for (const QString& file : directory.entryList(QDir::Files | common))
        QFile::remove(directory.filePath(file));
    for (const QString& subdirectory : directory.entryList(QDir::Dirs | common)) {
        const QString subPath = directory.filePath(subdirectory);
        cleanupDirectory(subPath);
        removeDirectory(subPath);
    }
}

bool UpdateEngine::removeDirectory(const QString& path)
{
    const QFileInfo info(path);
    return QDir(info.absolutePath()).rmdir(info.fileName());
}

void UpdateEngine::removeOldFiles(const QString& path)
{
    // Such a backup may be the only copy of a file that a failed repair still has to put back.
    QStringList named;
    for (const QString& installed : killedRunJournal(recordedSessionDirectory()).backups())
        named.append(QFileInfo(AppRoot::filePath(installed)).absoluteFilePath());
    const InstallationLayout directory(path);
    for (const QString& name : InstallationLayout::ownFileNames()) {
        if (!named.contains(QFileInfo(directory.filePath(name)).absoluteFilePath()))
            QFile::remove(directory.filePath(InstallationLayout::backupPrefix() + name));
    }
}

bool UpdateEngine::isSessionDirectory(const QString& path)
{
    static const QRegularExpression sessionName(u"^sonavelle_temp_[0-9]+$"_s);
    const QFileInfo info(path);
    return sessionName.match(info.fileName()).hasMatch() && !info.isSymLink() && info.isDir() &&
           info.ownerId() == ::geteuid();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    // One banner at a time; a second answer of the service while the first image is still on its
    // way is ignored.
    if (bannerReply)
        return;
    const QUrl url(bannerUrl, QUrl::StrictMode);
    if (!isBannerImageUrl(url))
        return;
    bannerClickUrl = clickUrl;
    QNetworkRequest request(url);
    // As every other request: a redirect is not followed; its page is no image.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    bannerReply = networkManager->get(request);
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged, this,
            &UpdateEngine::onBannermetaDataChanged);
    connect(bannerReply, &QNetworkReply::downloadProgress, this,
            &UpdateEngine::onBannerDownloadProgress);
}

// The address comes in an unauthenticated datagram: only web addresses are fetched, never local
// files or resources.
bool UpdateEngine::isBannerImageUrl(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == u"http" || scheme == u"https") && !url.host().isEmpty();
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!bannerReply)
        return;
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > maxBannerImageSize)
        releaseBannerReply();
}

// A server that announces no length is held to the same limit by what actually arrives.
void UpdateEngine::onBannerDownloadProgress(qint64 bytesReceived, qint64 /*bytesTotal*/)
{
    if (bannerReply && bytesReceived > maxBannerImageSize)
        releaseBannerReply();
}

// Abandons the transfer if it still runs.
void UpdateEngine::releaseBannerReply()
{
    disconnect(bannerReply, nullptr, this, nullptr);
    bannerReply->abort();
    bannerReply->deleteLater();
    bannerReply = nullptr;
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!bannerReply)
        return;
    // Passed on as it came, also after a failure: the window decides what it can show.
    const QByteArray image = bannerReply->readAll();
    releaseBannerReply();
    emit bannerFound(image, bannerClickUrl);
}

void UpdateEngine::getBanner(std::unique_ptr<BannerQuery> query)
{
    if (bannerReply || setUpFailed)
        return;
    BannerQuery* adopted = query.release();
    adopted->setParent(this);
    connect(adopted, &BannerQuery::bannerFound, this, &UpdateEngine::onBannerFound);
    adopted->run();
}
