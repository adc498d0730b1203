#pragma once

#include "installationlayout.h"
#include "updatechannel.h"
#include "versiondecision.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

// What this run of the updater is about: which client type and version to install, who named
// that version, on which channel, and the news. Filled from the command line, "update.ini" and,
// when the version is left open, the update server. The proxy and the download concurrency are
// the user's settings (UserSettings); the session directory is SessionLayout's.
class Configuration : public QObject
{
    Q_OBJECT
    friend struct ConfigurationPrivateAccess; // what the tests read; see the _p.h header

public:
    // installation is the one this run updates; its "update.ini" names the channel.
    explicit Configuration(InstallationLayout installation, QObject* parent = nullptr);

    [[nodiscard]] const InstallationLayout& installation() const { return installationLayout; }

    bool noUser = false;
    UpdateChannel channel = UpdateChannel::Stable;
    QString clientType;
    qint32 clientVersion = 0;
    // Who named clientVersion: the update server, the client (which had it from the server) or a
    // person (the command line without "--nouser", "alphaRevno").
    VersionOrigin versionOrigin = VersionOrigin::Named;
    QString versionName;
    QString news;
    // The Ed25519 public key (PEM) that release manifests must be signed with: the one built in.
    // Empty in an updater built without one, which then trusts the product ini's RSA signature
    // alone.
    QByteArray manifestKey;

    // Reads the process arguments; true when client type and version are known afterwards.
    [[nodiscard]] bool parseCommandLineOptions();
    [[nodiscard]] bool parseCommandLineOptions(const QStringList& arguments);

    void getUpdateChannel();
    [[nodiscard]] bool getClientTypeVersion(const QStringList& arguments, qsizetype index);
    [[nodiscard]] bool getClientVersionFromString(const QString& text,
                                                  const QString& messageTemplate);
    [[nodiscard]] bool getDefaultParameters();
    [[nodiscard]] QPair<QString, QString> getLatestClientVersion(UpdateChannel channel,
                                                                 QString& newsText);

    [[nodiscard]] static QString getUpdateType();

    // Asked after every failed version query: true queries again, false gives up. Without a
    // question the first failure gives up.
    using RetryQuestion = std::function<bool()>;
    void setRetryQuestion(RetryQuestion question) { retryQuestion = std::move(question); }

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    const InstallationLayout installationLayout;
    RetryQuestion retryQuestion;
    QString updateServerHost;
    quint16 updateServerPort;
    std::chrono::milliseconds updateServerTimeout;
};
