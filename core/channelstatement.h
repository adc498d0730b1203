#pragma once

#include "recordtext.h"
#include "updatechannel.h"

#include <QDateTime>
#include <QMap>
#include <QString>

// "<client type>.channels" at the root of every mirror, signed with the channel key in
// "<client type>.channels.sig": which version each update channel is on, when that was signed and
// until when it holds. It keeps an update server that has been silenced or spoofed from holding
// installations on an old version unnoticed; it can only name versions, whose manifests the
// release key signs, so it can delay an update but never choose what is installed.
//
// A channel may roll a newer version out to a share of its installations, counted in
// ten-thousandths: those whose bucket (0 to 9999, drawn once per installation) is below the share
// take it. A halted rollout gives it to no more installations; those that have it keep it. A
// withdrawn version sends the installations on it to an older one: the one way an older version is
// installed without being named on the command line. Updaters from before rollouts skip those
// records and follow "channel", the version of the installations outside the rollout.
//
//   sonavelle-channels	1
//   client-type	client_linux_amd64
//   signed	2026-12-08T08:00:00Z
//   expires	2026-12-15T08:00:00Z
//   channel	beta	1236
//   channel	stable	1235
//   rollout	stable	1237	1000	open
//   withdrawn	beta	1237	1236
class ChannelStatement final : public RecordText
{
public:
    static constexpr int formatVersion = 1;
    static constexpr qint64 maxSize = 64 * 1024;
    static constexpr qsizetype maxChannelNameLength = 32;
    // Buckets and shares count in ten-thousandths.
    static constexpr int shareScale = 10000;

    struct Rollout
    {
        int version = 0;
        int share = 0; // 1 to shareScale - 1
        bool halted = false;

        friend bool operator==(const Rollout&, const Rollout&) = default;
    };

    // What an installation takes, and why.
    struct Choice
    {
        enum class Reason {
            Channel,   // the channel's version
            Rollout,   // its bucket is inside the rollout
            Early,     // outside it, but its user asked for the update
            Kept,      // it has the rollout's version and keeps it
            Withdrawn, // its version was withdrawn: back to an older one
        };
        int version = 0;
        Reason reason = Reason::Channel;
    };

    ChannelStatement();

    [[nodiscard]] static QString fileName(const QString& clientType);
    [[nodiscard]] static QString signatureFileName(const QString& clientType);
    // "stable", "beta" or "alpha".
    [[nodiscard]] static QString channelName(UpdateChannel channel);

    // Parses text; on false, errorString() says why and the statement is left empty.
    [[nodiscard]] bool parse(QByteArrayView text);
    [[nodiscard]] QByteArray toText() const;

    [[nodiscard]] const QString& clientType() const { return type; }
    void setClientType(const QString& clientType) { type = clientType; }
    // Both in UTC, whole seconds.
    [[nodiscard]] const QDateTime& signedAt() const { return signedTime; }
    void setSignedAt(const QDateTime& time) { signedTime = wholeSecondsUtc(time); }
    [[nodiscard]] const QDateTime& expires() const { return expiryTime; }
    void setExpires(const QDateTime& time) { expiryTime = wholeSecondsUtc(time); }
    [[nodiscard]] bool hasExpired(const QDateTime& now) const { return now >= expiryTime; }

    // Channel name to version, by name.
    [[nodiscard]] const QMap<QString, int>& channels() const { return versions; }
    // 0 when the channel is not listed.
    [[nodiscard]] int version(const QString& channel) const { return versions.value(channel); }
    void setVersion(const QString& channel, int version) { versions.insert(channel, version); }

    // Channel name to its rollout, by name.
    [[nodiscard]] const QMap<QString, Rollout>& rollouts() const { return rollingOut; }
    void setRollout(const QString& channel, const Rollout& rollout);
    void removeRollout(const QString& channel) { rollingOut.remove(channel); }
    // Channel name to the withdrawn versions, each with the version its installations go back to.
    [[nodiscard]] const QMap<QString, QMap<int, int>>& withdrawals() const { return withdrawn; }
    // Also ends a rollout of that version.
    void setWithdrawn(const QString& channel, int version, int backTo);
    [[nodiscard]] bool isWithdrawn(const QString& channel, int version) const
    {
        return withdrawn.value(channel).contains(version);
    }

    // What an installation on channel with installedVersion (0: none recorded there) and bucket
    // takes; early when its user asked for the update, which a halted rollout still refuses.
    [[nodiscard]] Choice choose(const QString& channel, int installedVersion, int bucket,
                                bool early) const;
    // A name the format accepts.
    [[nodiscard]] static bool isChannelName(QStringView name);

    friend bool operator==(const ChannelStatement& a, const ChannelStatement& b)
    {
        return a.type == b.type && a.signedTime == b.signedTime && a.expiryTime == b.expiryTime &&
               a.versions == b.versions && a.rollingOut == b.rollingOut &&
               a.withdrawn == b.withdrawn;
    }

private:
    [[nodiscard]] bool readRecord(const Fields& fields) override;
    [[nodiscard]] bool readClientType(QByteArrayView value);
    [[nodiscard]] bool readChannel(QByteArrayView name, QByteArrayView version);
    [[nodiscard]] bool readChannelName(QByteArrayView field, QString& channel);
    [[nodiscard]] bool readVersion(QByteArrayView field, int& version);
    [[nodiscard]] bool readRollout(const Fields& fields);
    [[nodiscard]] bool readWithdrawn(const Fields& fields);
    [[nodiscard]] bool checkRollouts();
    [[nodiscard]] bool checkWithdrawals();
    [[nodiscard]] bool readOnce(QByteArrayView value, QByteArrayView kind, QDateTime& time);
    [[nodiscard]] bool checkComplete();

    QString type;
    QDateTime signedTime;
    QDateTime expiryTime;
    QMap<QString, int> versions;
    QMap<QString, Rollout> rollingOut;
    QMap<QString, QMap<int, int>> withdrawn;
};
