#include "updateengine.h"

#include "bannerimagefetch.h"
#include "bannerquery.h"
#include "configuration.h"
#include "installedrelease.h"
#include "maintaskspecification.h"
#include "mirrors.h"
#include "mirrorsini.h"
#include "progressthrottle.h"
#include "replacejournal.h"
#include "runcontext.h"
#include "settingsfile.h"
#include "sharedrandom.h"
#include "startrepair.h"
#include "tomcryptutil.h"
#include "updateinidata.h"
#include "updatesessions.h"
#include "versionconfirmation.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QUrl>

#include <utility>

using namespace Qt::StringLiterals;

UpdateEngine::UpdateEngine(Configuration& configuration, QObject* parent,
                           std::chrono::milliseconds tickInterval)
    : QObject(parent)
    , configuration(configuration)
    , settings(UserSettings::read(configuration.installation()))
    , timer(new QTimer(this))
    , progress(new ProgressThrottle(progressInterval, this))
    , networkManager(new QNetworkAccessManager(this))
    , bannerImage(new BannerImageFetch(networkManager, this))
{
    connect(bannerImage, &BannerImageFetch::fetched, this, &UpdateEngine::bannerFound);
    connect(&configuration, &Configuration::message, this, &UpdateEngine::message);
    timer->setInterval(tickInterval);
    connect(timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    connect(progress, &ProgressThrottle::progress, this, &UpdateEngine::updateProgress);
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
    VersionConfirmation confirmation(networkManager, configuration, !setUpFailed);
    connect(&confirmation, &VersionConfirmation::message, this, &UpdateEngine::message);
    const bool installs = confirmation.run();
    notices = confirmation.notices();
    goingBackFrom = confirmation.goingBackFrom();
    return installs;
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
    const InstallationLayout& installation = configuration.installation();
    if (!QFileInfo::exists(installation.filePath(MirrorsIni::fileName()))) {
        emit fatalError(u"%1 is missing, cannot proceed."_s.arg(MirrorsIni::fileName()));
        return false;
    }
    SharedRandom::seedFromClock();

    // The start has done this already, and a run that failed may have left a journal since; no
    // new run may work on an installation that is not whole.
    QString repairError;
    if (!StartRepair::repairKilledRun(
                installation, [this](const QString& line) { emit message(line); }, repairError)) {
        emit fatalError(repairError);
        return false;
    }
    // An interrupted session's directory is reused so its downloads are not fetched again.
    SessionLayout session(UpdateSessions::previous(
            installation, configuration.clientVersion, configuration.clientType,
            [this](const QString& line) { emit message(line); }));
    if (session.directory().isEmpty()) {
        Result<SessionLayout> made = SessionLayout::create();
        if (!made.ok()) {
            emit sessionDirectoryError(made.failure().text);
            return false;
        }
        session = std::move(made).value();
    }
    // Without the record, a start after a kill would not find the run to repair.
    if (!UpdateIniData::modify(installation, configuration.clientVersion, session.directory(),
                               configuration.clientType, ReplaceJournal(installation).path())) {
        UpdateSessions::removeDirectory(session.directory());
        emit fatalError(u"Could not record the update session in %1"_s.arg(
                UpdateIniData::filename(installation)));
        return false;
    }

    if (!makeMirrorList())
        return false;
    runContext = std::make_unique<const RunContext>(
            RunContext{{configuration.clientType, configuration.clientVersion,
                        configuration.channel, configuration.noUser, goingBackFrom},
                       settings,
                       configuration.manifestKey,
                       installation,
                       std::move(session),
                       InstalledRelease::read(installation)});
    engineState = Prepared;
    return true;
}

bool UpdateEngine::makeMirrorList()
{
    // A restart replaces the list of the run before; no task refers to that one any more.
    mirrorList = std::make_unique<Mirrors>();
    connect(mirrorList.get(), &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrorList.get(), &Mirrors::message, this, &UpdateEngine::message);
    const InstallationLayout& installation = configuration.installation();
    const bool made =
            configuration.channel == UpdateChannel::Alpha
                    ? mirrorList->initAlpha(SettingsFile::updateIniPath(installation),
                                            configuration.clientVersion)
                    : mirrorList->initDefault(installation.filePath(MirrorsIni::fileName()),
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
    connect(task, &TaskSpecification::updateProgress, progress, &ProgressThrottle::report);
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

void UpdateEngine::onTaskFinished()
{
    progress->flush();
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
    if (!installed.write(configuration.installation()))
        emit message(u"Could not record the installed version in %1"_s.arg(
                UpdateIniData::filename(configuration.installation())));
}

void UpdateEngine::onTaskCanceled()
{
    progress->flush();
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
    progress->drop();
    if (!mainTask)
        return;
    disconnect(mainTask.get(), nullptr, this, nullptr);
    mainTask.reset();
}

void UpdateEngine::cleanup()
{
    UpdateSessions::removeRecorded(configuration.installation(),
                                   [this](const QString& line) { emit message(line); });
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
