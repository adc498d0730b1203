#include "channelstatement.h"

#include <limits>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView statementMagic = "sonavelle-channels";
constexpr QByteArrayView clientTypeKind = "client-type";
constexpr QByteArrayView signedKind = "signed";
constexpr QByteArrayView expiresKind = "expires";
constexpr QByteArrayView channelKind = "channel";

} // namespace

ChannelStatement::ChannelStatement()
    : RecordText(statementMagic, "channel statement"_L1, maxSize)
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
    switch (channel) {
    case UpdateChannel::Beta:
        return u"beta"_s;
    case UpdateChannel::Alpha:
        return u"alpha"_s;
    case UpdateChannel::Stable:
        break;
    }
    return u"stable"_s;
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
    return text;
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

bool ChannelStatement::readChannel(QByteArrayView name, QByteArrayView version)
{
    const QString channel = decode(name);
    if (!isChannelName(channel))
        return fail(u"the channel name '%1' is not up to %2 lower-case letters, digits and '-'"_s
                            .arg(channel)
                            .arg(maxChannelNameLength));
    if (versions.contains(channel))
        return fail(u"channel '%1' is listed twice"_s.arg(channel));
    qint64 number = 0;
    if (!readDecimal(version, "version"_L1, 1, std::numeric_limits<int>::max(), number))
        return false;
    versions.insert(channel, int(number));
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
    return true;
}
