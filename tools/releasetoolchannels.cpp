#include "releasetoolchannels.h"

#include "ed25519.h"
#include "releasemanifest.h"
#include "releasetoolnames.h"

#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

ReleaseToolChannels::ReleaseToolChannels(ReleaseToolOptions options)
    : options(std::move(options))
    , signer(u"channel key"_s, u"channel statement"_s)
{}

QString ReleaseToolChannels::path() const
{
    return options.mirrorRoot + u'/' + ChannelStatement::fileName(options.clientType);
}

bool ReleaseToolChannels::run()
{
    if (!QFileInfo(options.mirrorRoot).isDir())
        return fail(u"the mirror root %1 is not a directory"_s.arg(
                ReleaseToolNames::display(options.mirrorRoot)));
    if (!signer.loadKey(options.channelKey))
        return fail(signer.errorString());
    if (!readCurrent())
        return false;
    for (auto it = options.channels.cbegin(); it != options.channels.cend(); ++it) {
        if (!checkPublished(it.value()))
            return false;
        statement.setVersion(it.key(), it.value());
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    statement.setClientType(options.clientType);
    statement.setSignedAt(now);
    statement.setExpires(now.addSecs(options.expiresSeconds));

    const QByteArray text = statement.toText();
    ChannelStatement read;
    if (!read.parse(text) || read != statement)
        return fail(u"the updater would not read the statement as it is meant (%1)"_s.arg(
                read.errorString()));
    QByteArray signature;
    if (!signer.sign(text, signature) || !signer.store(path(), text, signature))
        return fail(signer.errorString());
    QString why;
    const QByteArrayView builtIn = Ed25519::builtInChannelKey();
    if (!builtIn.isEmpty() && !Ed25519::verify(builtIn, text, signature, why))
        warningLines.append(u"the channel key built into this updater build does not accept the "
                            u"statement's signature; its updaters refuse it"_s);
    return true;
}

// The statement there, if any: a refresh keeps its channels.
bool ReleaseToolChannels::readCurrent()
{
    QFile file(path());
    if (!file.exists()) {
        if (options.channels.isEmpty())
            return fail(u"%1 does not exist yet: name the channels with --channel"_s.arg(
                    ReleaseToolNames::display(path())));
        return true;
    }
    if (!file.open(QIODevice::ReadOnly))
        return fail(
                u"cannot read %1: %2"_s.arg(ReleaseToolNames::display(path()), file.errorString()));
    if (!statement.parse(file.read(ChannelStatement::maxSize + 1)))
        return fail(u"cannot read %1: %2"_s.arg(ReleaseToolNames::display(path()),
                                                statement.errorString()));
    if (statement.clientType() != options.clientType)
        return fail(u"%1 is for client type %2, not %3"_s.arg(
                ReleaseToolNames::display(path()), statement.clientType(), options.clientType));
    return true;
}

bool ReleaseToolChannels::checkPublished(qint32 version)
{
    const QString manifest = options.mirrorRoot + u'/' + QString::number(version) + u'/' +
                             ReleaseManifest::fileName(options.clientType);
    if (QFileInfo::exists(manifest) && QFileInfo::exists(manifest + u".sig"_s))
        return true;
    return fail(u"version %1 has no signed manifest in %2: publish it with --manifest-key "
                u"first"_s.arg(version)
                        .arg(ReleaseToolNames::display(options.mirrorRoot)));
}

QStringList ReleaseToolChannels::summary() const
{
    QStringList lines{u"channel statement %1"_s.arg(ReleaseToolNames::display(path()))};
    const QMap<QString, int>& channels = statement.channels();
    for (auto it = channels.cbegin(); it != channels.cend(); ++it)
        lines.append(u"  %1: version %2"_s.arg(it.key()).arg(it.value()));
    lines.append(u"  signed %1, expires %2"_s.arg(statement.signedAt().toString(Qt::ISODate),
                                                  statement.expires().toString(Qt::ISODate)));
    return lines;
}

bool ReleaseToolChannels::fail(const QString& text)
{
    error = text;
    return false;
}
