#pragma once

#include "channelstatement.h"
#include "installationlayout.h"

#include <QByteArray>
#include <QDateTime>

#include <optional>

// The newest channel statement this installation accepted, as it was signed, kept in "update.ini"
// (group "statement": "signed" and the text in "text"). A mirror that serves a statement with the
// same signing time is believed only when it serves these very bytes, and a run that gets no
// statement from any mirror follows this one: a mirror can withhold a statement, never undo one.
class AcceptedStatement
{
public:
    // The record of the installation's "update.ini"; empty where there is none.
    [[nodiscard]] static AcceptedStatement read(const InstallationLayout& installation);
    // Keeps text, the signed statement that parsed as statement. False when it did not reach
    // the file.
    [[nodiscard]] static bool write(const InstallationLayout& installation, const QByteArray& text,
                                    const ChannelStatement& statement);

    // Whether this build installs only what a statement allows also before one was accepted
    // (SONAVELLE_CHANNELS_REQUIRED).
    [[nodiscard]] static bool requiredByBuild();

    // When the kept statement was signed; invalid when none was ever accepted. Updaters from
    // before the kept text recorded the time alone.
    [[nodiscard]] const QDateTime& signedAt() const { return signedTime; }
    [[nodiscard]] const QByteArray& text() const { return keptText; }
    // The kept statement; empty when there is no text, or it no longer parses or matches the time.
    [[nodiscard]] const std::optional<ChannelStatement>& statement() const { return parsed; }

private:
    QDateTime signedTime;
    QByteArray keptText;
    std::optional<ChannelStatement> parsed;
};
