#include "channelstatement.h"

#include <limits>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView statementMagic = "sonavelle-channels";
constexpr QByteArrayView clientTypeKind = "client-type";
constexpr QByteArrayView signedKind = "signed";
constexpr QByteArrayView expiresKind = "expires";
constexpr QByteArrayView channelKind = "channel";
constexpr QByteArrayView rolloutKind = "rollout";
constexpr QByteArrayView withdrawnKind = "withdrawn";
constexpr QByteArrayView openState = "open";
constexpr QByteArrayView haltedState = "halted";

} // namespace

ChannelStatement::ChannelStatement()
    : RecordText(statementMagic, "channel statement"_L1, "channel statement"_L1, maxSize)
{}

QString ChannelStatement::fileName(const QString& clientType)
{
    return clientType + u".channels"_s;
}

QString ChannelStatement::signatureFileName(const QString& clientType)
{
    return fileName(clientType) + u".sig"_s;
}

QString ChannelStatement::channelName(UpdateChannel channel)
{
    return updateChannelName(channel);
}

bool ChannelStatement::isChannelName(QStringView name)
{
    return !name.isEmpty() && name.size() <= maxChannelNameLength && isRecordKind(name.toLatin1());
}

bool ChannelStatement::parse(QByteArrayView text)
{
    *this = ChannelStatement();
    if (readLines(text, formatVersion) && checkComplete())
        return true;
    QString why = std::move(error);
    *this = ChannelStatement();
    error = std::move(why);
    return false;
}

QByteArray ChannelStatement::toText() const
{
    QByteArray text;
    appendRecord(text, {statementMagic, QByteArray::number(formatVersion)});
    appendRecord(text, {clientTypeKind, type.toUtf8()});
    appendRecord(text, {signedKind, signedTime.toString(Qt::ISODate).toUtf8()});
    appendRecord(text, {expiresKind, expiryTime.toString(Qt::ISODate).toUtf8()});
    for (auto it = versions.cbegin(); it != versions.cend(); ++it)
        appendRecord(text, {channelKind, it.key().toUtf8(), QByteArray::number(it.value())});
    for (auto it = rollingOut.cbegin(); it != rollingOut.cend(); ++it)
        appendRecord(text, {rolloutKind, it.key().toUtf8(), QByteArray::number(it->version),
                            QByteArray::number(it->share), it->halted ? haltedState : openState});
    for (auto it = withdrawn.cbegin(); it != withdrawn.cend(); ++it)
        for (auto back = it->cbegin(); back != it->cend(); ++back)
            appendRecord(text, {withdrawnKind, it.key().toUtf8(), QByteArray::number(back.key()),
                                QByteArray::number(back.value())});
    return text;
}

void ChannelStatement::setRollout(const QString& channel, const Rollout& rollout)
{
    rollingOut.insert(channel, rollout);
}

void ChannelStatement::setWithdrawn(const QString& channel, int version, int backTo)
{
    withdrawn[channel].insert(version, backTo);
    if (rollingOut.value(channel).version == version)
        rollingOut.remove(channel);
}

ChannelStatement::Choice ChannelStatement::choose(const QString& channel, int installedVersion,
                                                  int bucket, bool early) const
{
    Choice choice{version(channel), Choice::Reason::Channel};
    if (const auto rollout = rollingOut.constFind(channel); rollout != rollingOut.cend()) {
        if (installedVersion == rollout->version)
            choice = {rollout->version, Choice::Reason::Kept};
        else if (!rollout->halted && bucket < rollout->share)
            choice = {rollout->version, Choice::Reason::Rollout};
        else if (!rollout->halted && early)
            choice = {rollout->version, Choice::Reason::Early};
    }
    // Only where nothing newer is on offer: a channel may have moved on past the withdrawn one.
    if (choice.version <= installedVersion && isWithdrawn(channel, installedVersion))
        choice = {withdrawn.value(channel).value(installedVersion), Choice::Reason::Withdrawn};
    return choice;
}

bool ChannelStatement::readRecord(const Fields& fields)
{
    const QByteArrayView kind = fields.front();
    if (kind == clientTypeKind)
        return fields.size() == 2 ? readClientType(fields[1]) : wrongFieldCount(fields, "2"_L1);
    if (kind == signedKind)
        return fields.size() == 2 ? readOnce(fields[1], signedKind, signedTime)
                                  : wrongFieldCount(fields, "2"_L1);
    if (kind == expiresKind)
        return fields.size() == 2 ? readOnce(fields[1], expiresKind, expiryTime)
                                  : wrongFieldCount(fields, "2"_L1);
    if (kind == channelKind)
        return fields.size() == 3 ? readChannel(fields[1], fields[2])
                                  : wrongFieldCount(fields, "3"_L1);
    if (kind == rolloutKind)
        return fields.size() == 5 ? readRollout(fields) : wrongFieldCount(fields, "5"_L1);
    if (kind == withdrawnKind)
        return fields.size() == 4 ? readWithdrawn(fields) : wrongFieldCount(fields, "4"_L1);
    return unknownRecord(kind);
}

bool ChannelStatement::readClientType(QByteArrayView value)
{
    if (!type.isEmpty())
        return secondRecord(clientTypeKind);
    const QString text = decode(value);
    if (!isPlainName(text))
        return fail(u"the client type '%1' is empty or contains '/', '\\' or a control "
                    u"character"_s.arg(text));
    type = text;
    return true;
}

bool ChannelStatement::readOnce(QByteArrayView value, QByteArrayView kind, QDateTime& time)
{
    if (time.isValid())
        return secondRecord(kind);
    return readTime(value, QLatin1StringView(kind), time);
}

bool ChannelStatement::readChannelName(QByteArrayView field, QString& channel)
{
    channel = decode(field);
    if (isChannelName(channel))
        return true;
    return fail(u"the channel name '%1' is not up to %2 lower-case letters, digits and '-'"_s
                        .arg(channel)
                        .arg(maxChannelNameLength));
}

bool ChannelStatement::readVersion(QByteArrayView field, int& version)
{
    qint64 number = 0;
    if (!readDecimal(field, "version"_L1, 1, std::numeric_limits<int>::max(), number))
        return false;
    version = int(number);
    return true;
}

bool ChannelStatement::readChannel(QByteArrayView name, QByteArrayView version)
{
    QString channel;
    if (!readChannelName(name, channel))
        return false;
    if (versions.contains(channel))
        return fail(u"channel '%1' is listed twice"_s.arg(channel));
    int number = 0;
    if (!readVersion(version, number))
        return false;
    versions.insert(channel, number);
    return true;
}

bool ChannelStatement::readRollout(const Fields& fields)
{
    QString channel;
    Rollout rollout;
    qint64 share = 0;
    if (!readChannelName(fields[1], channel) || !readVersion(fields[2], rollout.version) ||
        !readDecimal(fields[3], "share"_L1, 1, shareScale - 1, share))
        return false;
    if (rollingOut.contains(channel))
        return fail(u"channel '%1' has two rollouts"_s.arg(channel));
    if (fields[4] != openState && fields[4] != haltedState)
        return fail(
                u"the rollout state '%1' is neither 'open' nor 'halted'"_s.arg(decode(fields[4])));
    rollout.share = int(share);
    rollout.halted = fields[4] == haltedState;
    rollingOut.insert(channel, rollout);
    return true;
}

bool ChannelStatement::readWithdrawn(const Fields& fields)
{
    QString channel;
    int version = 0;
    int backTo = 0;
    if (!readChannelName(fields[1], channel) || !readVersion(fields[2], version) ||
        !readVersion(fields[3], backTo))
        return false;
    if (isWithdrawn(channel, version))
        return fail(u"version %1 of channel '%2' is withdrawn twice"_s.arg(version).arg(channel));
    if (backTo >= version)
        return fail(u"withdrawn version %1 sends its installations to %2, which is not older"_s
                            .arg(version)
                            .arg(backTo));
    withdrawn[channel].insert(version, backTo);
    return true;
}

bool ChannelStatement::checkRollouts()
{
    for (auto it = rollingOut.cbegin(); it != rollingOut.cend(); ++it) {
        if (!versions.contains(it.key()))
            return fail(u"channel '%1' has a rollout but no channel record"_s.arg(it.key()));
        if (it->version <= versions.value(it.key()))
            return fail(u"channel '%1' rolls out version %2, which is not newer than its version "
                        u"%3"_s.arg(it.key())
                                .arg(it->version)
                                .arg(versions.value(it.key())));
        if (isWithdrawn(it.key(), it->version))
            return fail(
                    u"channel '%1' rolls out version %2, which is withdrawn"_s.arg(it.key()).arg(
                            it->version));
    }
    return true;
}

bool ChannelStatement::checkWithdrawals()
{
    for (auto it = withdrawn.cbegin(); it != withdrawn.cend(); ++it) {
        if (!versions.contains(it.key()))
            return fail(
                    u"channel '%1' withdraws a version but has no channel record"_s.arg(it.key()));
        for (auto back = it->cbegin(); back != it->cend(); ++back) {
            if (back.key() == versions.value(it.key()))
                return fail(u"channel '%1' withdraws its own version %2"_s.arg(it.key()).arg(
                        back.key()));
            if (it->contains(back.value()))
                return fail(u"withdrawn version %1 sends its installations to %2, which is "
                            u"withdrawn too"_s.arg(back.key())
                                    .arg(back.value()));
        }
    }
    return true;
}

bool ChannelStatement::checkComplete()
{
    if (type.isEmpty())
        return missingRecord(clientTypeKind);
    if (!signedTime.isValid())
        return missingRecord(signedKind);
    if (!expiryTime.isValid())
        return missingRecord(expiresKind);
    if (versions.isEmpty())
        return missingRecord(channelKind);
    if (expiryTime <= signedTime)
        return fail(u"it expires (%1) no later than it was signed (%2)"_s.arg(
                expiryTime.toString(Qt::ISODate), signedTime.toString(Qt::ISODate)));
    return checkRollouts() && checkWithdrawals();
}
