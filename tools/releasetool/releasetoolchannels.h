#pragma once

#include "channelstatement.h"
#include "releasetoolcommandline.h"
#include "releasetoolsignedfile.h"

#include <QString>
#include <QStringList>

// Signs the channel statement at the root of a mirror tree: the channels the command line names
// at their versions, the others as the statement there says, signed now and expiring after the
// given time. Names only versions whose signed manifest the tree holds: the channel key can delay
// an update, never choose what is installed. Also starts, widens, completes and halts the rollout
// of a version to a share of a channel's installations, and withdraws a version.
class ReleaseToolChannels
{
public:
    explicit ReleaseToolChannels(ReleaseToolOptions options);

    [[nodiscard]] bool run();

    [[nodiscard]] const QString& errorString() const { return error; }
    [[nodiscard]] const QStringList& warnings() const { return warningLines; }
    // The channels, their versions and the statement's times.
    [[nodiscard]] QStringList summary() const;

private:
    [[nodiscard]] bool readCurrent();
    // The time to sign at, in a second after that of the statement there.
    [[nodiscard]] bool laterThanCurrent(QDateTime& now);
    [[nodiscard]] bool withdraw();
    [[nodiscard]] bool setChannels();
    [[nodiscard]] bool startRollout(const QString& channel, qint32 version);
    [[nodiscard]] bool changeRollout();
    void setShare(const QString& channel, qint32 version);
    [[nodiscard]] bool halt();
    [[nodiscard]] bool checkPublished(qint32 version);
    [[nodiscard]] QString path() const;
    [[nodiscard]] bool fail(const QString& text);

    ReleaseToolOptions options;
    ReleaseToolSignedFile signer;
    ChannelStatement statement;
    QString error;
    QStringList warningLines;
};
