// The version of a run, settled before the window shows it.
#include "versionconfirmation.h"

#include "acceptedstatement.h"
#include "configuration.h"
#include "ed25519.h"
#include "installedrelease.h"
#include "mirrorsini.h"
#include "refusedversion.h"
#include "rolloutbucket.h"
#include "settingsfile.h"
#include "updateinidata.h"

#include <QEventLoop>

using namespace Qt::StringLiterals;

VersionConfirmation::VersionConfirmation(QNetworkAccessManager* manager,
                                         Configuration& configuration, bool networkAllowed,
                                         QObject* parent)
    : QObject(parent)
    , manager(manager)
    , configuration(configuration)
    , networkAllowed(networkAllowed)
{}

bool VersionConfirmation::run()
{
    VersionQuestion question;
    question.channel = configuration.channel;
    question.origin = configuration.versionOrigin;
    question.offered = configuration.clientVersion;
    question.userStarted = !configuration.noUser;
    const InstallationLayout& installation = configuration.installation();
    const InstalledRelease installed = InstalledRelease::read(installation);
    const QString channel = ChannelStatement::channelName(configuration.channel);
    question.installed =
            installed.isRecorded() && installed.channel == channel ? installed.version : 0;
    // Drawn on the first run, whatever comes: the installation's place in every later rollout.
    bool bucketKept = true;
    question.bucket = RolloutBucket::read(installation, &bucketKept);
    if (!bucketKept)
        emit message(u"Could not record the rollout bucket in %1"_s.arg(
                UpdateIniData::filename(installation)));
    question.now = QDateTime::currentDateTimeUtc();
    question.refused = tellRefused();
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
    olderThanInstalled =
            installed.isRecorded() && decision.version < installed.version ? installed.version : 0;
    return true;
}

int VersionConfirmation::tellRefused()
{
    RefusedVersion refused = RefusedVersion::read(configuration.installation());
    if (!refused.isRecorded() || refused.told)
        return refused.version;
    emit message(u"%1: went back to version %2"_s.arg(refused.reason).arg(refused.previous));
    notify({QT_TRANSLATE_NOOP("MainWindow",
                              "Version %1 did not start and was replaced by %2 again"),
            {QString::number(refused.version), QString::number(refused.previous)}});
    // Once: a record that cannot be written is told again, which is better than never.
    refused.told = true;
    static_cast<void>(refused.write(configuration.installation()));
    return refused.version;
}

void VersionConfirmation::gatherChannelStatements(VersionQuestion& question)
{
    // Where the proxy is unusable nothing may leave; the run ends with that error.
    question.readsStatements = !Ed25519::builtInChannelKey().isEmpty() &&
                               !configuration.manifestKey.isEmpty() && networkAllowed;
    if (!question.readsStatements || question.origin == VersionOrigin::Named)
        return;
    const AcceptedStatement accepted = AcceptedStatement::read(configuration.installation());
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
VersionConfirmation::fetchChannelStatement(const AcceptedStatement& accepted, QString& whyNone)
{
    const InstallationLayout& installation = configuration.installation();
    SettingsFile mirrorsIni(installation.filePath(MirrorsIni::fileName()));
    QStringList http2Urls;
    for (const QString& name : MirrorsIni::names(mirrorsIni)) {
        const MirrorsIniSection section = MirrorsIni::section(mirrorsIni, name);
        if (section.http2)
            http2Urls << section.url;
    }
    ChannelStatementFetch fetch(
            manager, {MirrorsIni::urls(mirrorsIni), http2Urls, configuration.clientType,
                      Ed25519::builtInChannelKey().toByteArray(), configuration.channel,
                      InstalledRelease::confirmedVersion(
                              installation, ChannelStatement::channelName(configuration.channel)),
                      accepted.signedAt(), accepted.text(), statementWait});
    connect(&fetch, &ChannelStatementFetch::message, this, &VersionConfirmation::message);
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
void VersionConfirmation::recordChannelStatement(const ChannelStatementFetch::Found& found,
                                                 const AcceptedStatement& accepted)
{
    const InstallationLayout& installation = configuration.installation();
    const QString channel = ChannelStatement::channelName(configuration.channel);
    const int stated = found.statement.version(channel);
    if (stated > InstalledRelease::confirmedVersion(installation, channel) &&
        !InstalledRelease::writeConfirmedVersion(installation, channel, stated))
        emit message(u"Could not record the confirmed version in %1"_s.arg(
                UpdateIniData::filename(installation)));
    const bool newer = !accepted.signedAt().isValid() ||
                       found.statement.signedAt() > accepted.signedAt() ||
                       accepted.text().isEmpty();
    if (newer && !AcceptedStatement::write(installation, found.text, found.statement))
        emit message(u"Could not record the channel statement in %1"_s.arg(
                UpdateIniData::filename(installation)));
}

void VersionConfirmation::notify(const VersionNotice& notice)
{
    shown.append(notice.translated());
    emit message(notice.english());
}
