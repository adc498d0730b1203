#include "updateengine.h"

#include "acceptedstatement.h"
#include "approot.h"
#include "bannerimagefetch.h"
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
#include "versiondecision.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
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
    , bannerImage(new BannerImageFetch(networkManager, this))
{
    connect(bannerImage, &BannerImageFetch::fetched, this, &UpdateEngine::bannerFound);
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
    VersionQuestion question;
    question.channel = configuration.channel;
    question.origin = configuration.versionOrigin;
    question.offered = configuration.clientVersion;
    question.userStarted = !configuration.noUser;
    const InstalledRelease installed = InstalledRelease::read();
    const QString channel = ChannelStatement::channelName(configuration.channel);
    question.installed =
            installed.isRecorded() && installed.channel == channel ? installed.version : 0;
    // Drawn on the first run, whatever comes: the installation's place in every later rollout.
    bool bucketKept = true;
    question.bucket = RolloutBucket::read(&bucketKept);
    if (!bucketKept)
        emit message(u"Could not record the rollout bucket in %1"_s.arg(UpdateIniData::filename()));
    question.now = QDateTime::currentDateTimeUtc();
    gatherChannelStatements(question);

    const VersionDecision decision = VersionDecision::decide(question);
    for (const QString& line : decision.logLines)
        emit message(line);
    for (const VersionNotice& notice : decision.notices)
        notify(notice);
    if (!decision.installs()) {
        // A refusal that is a notice has been told.
        if (decision.notices.isEmpty() || decision.notices.last().english() != decision.refusal)
            emit message(decision.refusal);
        return false;
    }
    if (decision.version != configuration.clientVersion) {
        configuration.clientVersion = decision.version;
        // The name came with the offered version.
        configuration.versionName.clear();
    }
    // Whatever allowed it, an older version ends on exactly its own tree.
    goingBackFrom =
            installed.isRecorded() && decision.version < installed.version ? installed.version : 0;
    return true;
}

void UpdateEngine::gatherChannelStatements(VersionQuestion& question)
{
    // Where the proxy is unusable nothing may leave; the run ends with that error.
    question.readsStatements = !Ed25519::builtInChannelKey().isEmpty() &&
                               !configuration.manifestKey.isEmpty() && !setUpFailed;
    if (!question.readsStatements || question.origin == VersionOrigin::Named)
        return;
    const AcceptedStatement accepted = AcceptedStatement::read();
    question.lastAccepted = accepted.statement();
    question.statementSeen = accepted.signedAt().isValid();
    question.statementRequired = AcceptedStatement::requiredByBuild();
    std::optional<ChannelStatementFetch::Found> found =
            fetchChannelStatement(accepted, question.noStatementReason);
    if (!found)
        return;
    recordChannelStatement(*found, accepted);
    question.statement = std::move(found->statement);
}

std::optional<ChannelStatementFetch::Found>
UpdateEngine::fetchChannelStatement(const AcceptedStatement& accepted, QString& whyNone)
{
    AppRootSettings mirrorsIni(MirrorsIni::fileName());
    ChannelStatementFetch fetch(networkManager,
                                {MirrorsIni::urls(mirrorsIni), configuration.clientType,
                                 Ed25519::builtInChannelKey().toByteArray(), configuration.channel,
                                 InstalledRelease::confirmedVersion(
                                         ChannelStatement::channelName(configuration.channel)),
                                 accepted.signedAt(), accepted.text(), channelStatementWait});
    connect(&fetch, &ChannelStatementFetch::message, this, &UpdateEngine::message);
    QEventLoop loop;
    connect(&fetch, &ChannelStatementFetch::finished, &loop, &QEventLoop::quit);
    fetch.start();
    // The fetch ends itself at its deadline, however many mirrors do not answer.
    if (!fetch.isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!fetch.result())
        whyNone = fetch.noneReason();
    return fetch.result();
}

// What no later statement may go back behind.
void UpdateEngine::recordChannelStatement(const ChannelStatementFetch::Found& found,
                                          const AcceptedStatement& accepted)
{
    const QString channel = ChannelStatement::channelName(configuration.channel);
    const int stated = found.statement.version(channel);
    if (stated > InstalledRelease::confirmedVersion(channel) &&
        !InstalledRelease::writeConfirmedVersion(channel, stated))
        emit message(
                u"Could not record the confirmed version in %1"_s.arg(UpdateIniData::filename()));
    const bool newer = !accepted.signedAt().isValid() ||
                       found.statement.signedAt() > accepted.signedAt() ||
                       accepted.text().isEmpty();
    if (newer && !AcceptedStatement::write(found.text, found.statement))
        emit message(
                u"Could not record the channel statement in %1"_s.arg(UpdateIniData::filename()));
}

void UpdateEngine::notify(const VersionNotice& notice)
{
    notices.append(notice.translated());
    emit message(notice.english());
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

    // The start has done this already, and a run that failed may have left a journal since; no
    // new run may work on an installation that is not whole.
    QString repairError;
    if (!repairKilledRun([this](const QString& line) { emit message(line); }, repairError)) {
        emit fatalError(repairError);
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
                        configuration.channel, configuration.noUser, goingBackFrom},
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

bool UpdateEngine::repairKilledRun(const LogLine& log, QString& error)
{
    const QString directory = recordedSessionDirectory();
    ReplaceJournal journal = killedRunJournal(directory);
    if (!journal.exists())
        return true;
    const bool committed = journal.isCommitted();
    log(committed
                ? u"Finishing the update that was interrupted, recorded in %1"_s.arg(journal.path())
                : u"Undoing the update that was interrupted, recorded in %1"_s.arg(journal.path()));
    if (!journal.repair(log)) {
        error = journal.errorString();
        return false;
    }
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
    // The replacement has recorded the release with its commit already. This covers a run that
    // had nothing to commit, its files being those of the release, and writes the same record.
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

void UpdateEngine::getBanner(std::unique_ptr<BannerQuery> query)
{
    if (bannerImage->isFetching() || setUpFailed)
        return;
    BannerQuery* adopted = query.release();
    adopted->setParent(this);
    connect(adopted, &BannerQuery::bannerFound, bannerImage, &BannerImageFetch::fetch);
    adopted->run();
}
