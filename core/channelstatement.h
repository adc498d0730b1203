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
//   sonavelle-channels	1
//   client-type	client_linux_amd64
//   signed	2026-12-08T08:00:00Z
//   expires	2026-12-15T08:00:00Z
//   channel	stable	1235
//   channel	beta	1236
class ChannelStatement final : public RecordText
{
public:
    static constexpr int formatVersion = 1;
    static constexpr qint64 maxSize = 64 * 1024;
    static constexpr qsizetype maxChannelNameLength = 32;

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
    // A name the format accepts.
    [[nodiscard]] static bool isChannelName(QStringView name);

    friend bool operator==(const ChannelStatement& a, const ChannelStatement& b)
    {
        return a.type == b.type && a.signedTime == b.signedTime && a.expiryTime == b.expiryTime &&
               a.versions == b.versions;
    }

private:
    [[nodiscard]] bool readRecord(const Fields& fields) override;
    [[nodiscard]] bool readClientType(QByteArrayView value);
    [[nodiscard]] bool readChannel(QByteArrayView name, QByteArrayView version);
    [[nodiscard]] bool readOnce(QByteArrayView value, QByteArrayView kind, QDateTime& time);
    [[nodiscard]] bool checkComplete();

    QString type;
    QDateTime signedTime;
    QDateTime expiryTime;
    QMap<QString, int> versions;
};
