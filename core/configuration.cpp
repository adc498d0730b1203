#include "configuration.h"

#include "ed25519.h"
#include "settingsfile.h"
#include "updatechecker.h"

#include <QCoreApplication>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

const QString noUserOption = u"--nouser"_s;
const QString noValue = u"#"_s;

// The texts shown to the user belong to the "QObject" translation context.
const char* const invalidVersionTemplate = QT_TRANSLATE_NOOP("QObject", "Invalid version nr (%1)");
const char* const invalidServerVersionTemplate =
        QT_TRANSLATE_NOOP("QObject", "Update server returned invalid version nr (%1)");

QString translated(const char* text)
{
    return QCoreApplication::translate("QObject", text);
}

} // namespace

Configuration::Configuration(InstallationLayout installation, QObject* parent)
    : QObject(parent)
    , installationLayout(std::move(installation))
    , updateServerHost(UpdateChecker::defaultHost())
    , updateServerPort(UpdateChecker::defaultPort)
    , updateServerTimeout(UpdateChecker::defaultReceiveTimeout)
{
    manifestKey = Ed25519::builtInKey().toByteArray();
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& arguments)
{
    getUpdateChannel();
    noUser = false;
    // "alphaRevno" fixes the version before the command line is read.
    versionOrigin = VersionOrigin::Named;
    const bool fixedVersion = clientVersion != 0;

    if (arguments.size() >= 2 && arguments.at(1) == noUserOption) {
        if (arguments.size() >= 4 && !getClientTypeVersion(arguments, 2))
            return false;
        // The client names the version it had from the update server, unattended: it is the
        // server's answer, not a person's choice.
        if (arguments.size() >= 4 && !fixedVersion)
            versionOrigin = VersionOrigin::Client;
        if (arguments.size() >= 5 && arguments.at(4) != noValue)
            versionName = arguments.at(4);
        if (arguments.size() >= 6)
            news = arguments.at(5);
        if (!getDefaultParameters())
            return false;
        noUser = true;
        return true;
    }
    if (arguments.size() == 3)
        return getClientTypeVersion(arguments, 1);
    return getDefaultParameters();
}

void Configuration::getUpdateChannel()
{
    auto settings = SettingsFile::updateIni(installationLayout);
    const QString alpha = SettingsFile::alphaUrl(settings);
    settings.beginGroup(u"Channel"_s);
    const bool beta = settings.value(u"beta"_s, false).toBool();
    if (!alpha.isEmpty()) {
        channel = UpdateChannel::Alpha;
        clientVersion = settings.value(u"alphaRevno"_s, 0).toInt();
    } else {
        channel = beta ? UpdateChannel::Beta : UpdateChannel::Stable;
        clientVersion = 0;
    }
}

bool Configuration::getClientTypeVersion(const QStringList& arguments, qsizetype index)
{
    clientType = arguments.at(index);
    return getClientVersionFromString(arguments.value(index + 1),
                                      translated(invalidVersionTemplate));
}

bool Configuration::getClientVersionFromString(const QString& text, const QString& messageTemplate)
{
    // A version fixed by "alphaRevno" wins over any text, which is then not checked.
    if (clientVersion != 0)
        return true;
    bool ok = false;
    clientVersion = text.toInt(&ok, 10);
    if (ok)
        return true;
    emit fatalError(messageTemplate.arg(text));
    return false;
}

bool Configuration::getDefaultParameters()
{
    if (clientType.isEmpty())
        clientType = getUpdateType();
    if (clientVersion != 0)
        return true;

    const auto [versionText, latestVersionName] = getLatestClientVersion(channel, news);
    // An empty version means the user gave up or the server has no entry for the channel.
    if (versionText.isEmpty())
        return false;
    if (!getClientVersionFromString(versionText, translated(invalidServerVersionTemplate)))
        return false;
    versionOrigin = VersionOrigin::Server;
    versionName = latestVersionName;
    return true;
}

QPair<QString, QString> Configuration::getLatestClientVersion(UpdateChannel latestChannel,
                                                              QString& newsText)
{
    UpdateChecker checker(updateServerHost, updateServerPort, updateServerTimeout);
    while (!checker.checkUpdate()) {
        if (!retryQuestion || !retryQuestion())
            return {};
    }
    newsText = checker.news;
    return checker.getClientVersionByChannel(latestChannel);
}

QString Configuration::getUpdateType()
{
    return u"client_linux_amd64"_s;
}
