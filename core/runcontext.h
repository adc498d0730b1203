#pragma once

#include "installationlayout.h"
#include "installedrelease.h"
#include "sessionlayout.h"
#include "updatechannel.h"
#include "usersettings.h"

#include <QByteArray>
#include <QString>

// What the command line and the update server fixed for this run.
struct LaunchOptions
{
    QString clientType;
    qint32 clientVersion = 0;
    UpdateChannel channel = UpdateChannel::Stable;
    bool noUser = false;
    // The installed version this run goes back from (a withdrawal, or another older version that
    // is allowed); 0 when it does not go back. Such a run ends on exactly the older version's
    // tree, so it also removes what only the installed version had.
    qint32 goingBackFrom = 0;
};

// One update run as it was prepared: built once when the run is prepared (and by tests), then
// only read. The stages take the parts they need by value or by const reference.
struct RunContext
{
    LaunchOptions launch;
    UserSettings settings;
    // The Ed25519 public key (PEM) release manifests must be signed with; empty for none.
    QByteArray manifestKey;
    InstallationLayout installation;
    SessionLayout session;
    // The release installed before the run ("update.ini"); not recorded when unknown.
    InstalledRelease previous;
};
