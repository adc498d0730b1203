#pragma once

#include "channelstatement.h"
#include "updatechannel.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Who named the version that a run is asked to install.
enum class VersionOrigin {
    Server, // the update server's answer
    Client, // "--nouser <type> <version>": the client had it from the update server
    Named,  // a person, on the command line or with "alphaRevno": installed as named
};

// Everything the choice of a run's version depends on, gathered by the engine.
struct VersionQuestion
{
    UpdateChannel channel = UpdateChannel::Stable;
    VersionOrigin origin = VersionOrigin::Server;
    int offered = 0;          // the version the command line or the update server names
    bool userStarted = false; // the user asks for the update (no "--nouser")

    // Whether this updater reads channel statements at all (built with a channel key).
    bool readsStatements = false;
    // The newest acceptable statement the mirrors served now, or why there is none.
    std::optional<ChannelStatement> statement;
    QString noStatementReason;
    // The newest statement accepted by an earlier run, kept in "update.ini".
    std::optional<ChannelStatement> lastAccepted;
    // An earlier run accepted a statement (its signing time is recorded), kept or not.
    bool statementSeen = false;
    // The build requires a statement even before one was seen.
    bool statementRequired = false;

    int installed = 0; // the version installed from this channel; 0 when none is recorded
    // The version that did not start here and was replaced by the one before; 0 for none.
    int refused = 0;
    int bucket = 0; // the installation's rollout bucket
    QDateTime now;
};

// A line of the decision for the window, in the window's translation context ("MainWindow"),
// and in English for the log.
struct VersionNotice
{
    const char* text = ""; // marked with QT_TRANSLATE_NOOP
    QStringList arguments; // for %1, %2, ...

    [[nodiscard]] QString english() const;
    [[nodiscard]] QString translated() const;
};

// The version a run installs, or why it installs nothing, and the lines the window shows. An
// update server or a client can be spoofed or frozen; a statement signed with the channel key
// cannot. So once statements count (the installation has accepted one, or the build requires
// one), only what a statement allows is installed: the channel's version, a rollout version the
// bucket admits, or a withdrawal's target. Without a fresh statement, at most what the last
// accepted one allows. An expired one still refuses downgrades and withdrawn versions, but gives
// nothing new. A version that did not start here is not installed again, unless the statement
// withdraws to it on purpose. A version a person named is installed as named.
struct VersionDecision
{
    int version = 0;              // 0: nothing is installed
    bool withdrawal = false;      // the statement withdrew the installed version to this one
    QString refusal;              // why nothing is installed; empty when version is set
    QStringList logLines;         // for the log only
    QList<VersionNotice> notices; // for the window and the log

    [[nodiscard]] bool installs() const { return version > 0; }

    [[nodiscard]] static VersionDecision decide(const VersionQuestion& question);
};
