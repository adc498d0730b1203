#include "releasetoolchannels.h"

#include "ed25519.h"
#include "releasemanifest.h"
#include "releasetoolnames.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

// "10", "0.5", "12.25": a share in percent without needless decimals.
QString percent(int share)
{
    QString text = QString::number(share / 100);
    if (share % 100 != 0) {
        text += u'.' + QString::number(share % 100).rightJustified(2, u'0');
        if (text.endsWith(u'0'))
            text.chop(1);
    }
    return text;
}

// The longest wait for the next second of the clock that a statement in the root asks for.
constexpr std::chrono::milliseconds maxSigningWait{2000};

QString withdrawnText(const QString& channel, int version)
{
    return u"version %1 of %2 is withdrawn"_s.arg(version).arg(channel);
}

} // namespace

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
    // A withdrawal first: its default --to is the channel's version before --channel changes it.
    if (!readCurrent() || !withdraw() || !setChannels() || !changeRollout() || !halt())
        return false;
    QDateTime now;
    if (!laterThanCurrent(now))
        return false;
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
    const QByteArrayView builtIn = Ed25519::builtInChannelKey();
    if (!builtIn.isEmpty() && Ed25519::verify(builtIn, text, signature).failed())
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

// Updaters refuse a statement signed before the newest they accepted, in whole seconds: of two
// signed within one second, a mirror could serve either, the older as well. A statement of the
// current second or the next (a vendor's commands back to back, another machine's clock a little
// ahead) is waited out; one signed later than that means this clock is behind.
bool ReleaseToolChannels::laterThanCurrent(QDateTime& now)
{
    now = QDateTime::currentDateTimeUtc();
    const QDateTime current = statement.signedAt();
    if (!current.isValid() || current < ChannelStatement::wholeSecondsUtc(now))
        return true;
    const qint64 wait = now.msecsTo(current.addSecs(1));
    if (wait > maxSigningWait.count())
        return fail(u"%1 was signed at %2, later than this computer's clock says it is: a "
                    u"statement signed now would not be newer; set the clock right"_s.arg(
                            ReleaseToolNames::display(path()), current.toString(Qt::ISODate)));
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    return laterThanCurrent(now);
}

bool ReleaseToolChannels::withdraw()
{
    const QString& channel = options.withdrawChannel;
    const qint32 version = options.withdrawVersion;
    if (channel.isEmpty())
        return true;
    const int current = statement.version(channel);
    if (current == 0)
        return fail(u"the statement names no version of %1 to withdraw"_s.arg(channel));
    if (statement.isWithdrawn(channel, version))
        return fail(u"%1 already, back to %2"_s.arg(
                withdrawnText(channel, version),
                QString::number(statement.withdrawals().value(channel).value(version))));
    const qint32 to = options.withdrawTo > 0 ? options.withdrawTo : current < version ? current : 0;
    if (to == 0)
        return fail(u"%1 is on version %2, which is not older than %3: give --to"_s.arg(channel)
                            .arg(current)
                            .arg(version));
    if (statement.isWithdrawn(channel, to))
        return fail(withdrawnText(channel, to) + u" too: give an older --to"_s);
    if (!checkPublished(to))
        return false;
    // Installations sent back to this version go on to the older one.
    const QMap<int, int> earlier = statement.withdrawals().value(channel);
    for (auto it = earlier.cbegin(); it != earlier.cend(); ++it) {
        if (it.value() == version)
            statement.setWithdrawn(channel, it.key(), to);
    }
    statement.setWithdrawn(channel, version, to);
    if (current == version)
        statement.setVersion(channel, to);
    return true;
}

bool ReleaseToolChannels::setChannels()
{
    const bool rollingOut =
            options.rolloutShare > 0 && options.rolloutShare < ChannelStatement::shareScale;
    for (auto it = options.channels.cbegin(); it != options.channels.cend(); ++it) {
        if (statement.isWithdrawn(it.key(), it.value()))
            return fail(withdrawnText(it.key(), it.value()));
        if (!checkPublished(it.value()))
            return false;
        if (rollingOut) {
            if (!startRollout(it.key(), it.value()))
                return false;
            continue;
        }
        statement.setVersion(it.key(), it.value());
        // A newer version keeps rolling out, now from this one.
        if (statement.rollouts().value(it.key()).version <= it.value())
            statement.removeRollout(it.key());
    }
    return true;
}

bool ReleaseToolChannels::startRollout(const QString& channel, qint32 version)
{
    const qint32 from = options.rolloutFrom > 0 ? options.rolloutFrom : statement.version(channel);
    if (from == 0)
        return fail(
                u"--rollout needs --from: the statement names no version of %1 yet"_s.arg(channel));
    if (from >= version)
        return fail(u"%1 is on version %2, which is not older than %3: give the version outside "
                    u"the rollout with --from"_s.arg(channel)
                            .arg(from)
                            .arg(version));
    if (statement.isWithdrawn(channel, from))
        return fail(withdrawnText(channel, from));
    if (!checkPublished(from))
        return false;
    setShare(channel, version);
    statement.setVersion(channel, from);
    return true;
}

// --refresh-channels --rollout: the one rollout under way.
bool ReleaseToolChannels::changeRollout()
{
    if (options.rolloutShare == 0 || !options.channels.isEmpty())
        return true;
    const QMap<QString, ChannelStatement::Rollout> rollouts = statement.rollouts();
    if (rollouts.isEmpty())
        return fail(u"the channel statement has no rollout; start one with --channel "
                    u"name=version --rollout share"_s);
    const QString channel = rollouts.firstKey();
    const qint32 version = rollouts.first().version;
    if (rollouts.size() > 1)
        return fail(u"the channel statement has rollouts on %1: name the channel: --channel "
                    u"%2=%3 --rollout %4%"_s.arg(rollouts.keys().join(u", "_s), channel)
                            .arg(version)
                            .arg(percent(options.rolloutShare)));
    if (!checkPublished(version))
        return false;
    if (options.rolloutShare < ChannelStatement::shareScale) {
        setShare(channel, version);
        return true;
    }
    statement.setVersion(channel, version);
    statement.removeRollout(channel);
    return true;
}

void ReleaseToolChannels::setShare(const QString& channel, qint32 version)
{
    const auto current = statement.rollouts().constFind(channel);
    if (current != statement.rollouts().cend() && current->version == version &&
        current->share > options.rolloutShare)
        warningLines.append(
                u"the rollout of %1 on %2 narrows from %3 % to %4 %: installations "
                u"that have %1 keep it; --halt stops a rollout"_s.arg(version)
                        .arg(channel, percent(current->share), percent(options.rolloutShare)));
    statement.setRollout(channel, {version, options.rolloutShare, false});
}

bool ReleaseToolChannels::halt()
{
    for (const QString& channel : options.halts) {
        if (!statement.rollouts().contains(channel))
            return fail(u"%1 has no rollout to halt"_s.arg(channel));
        ChannelStatement::Rollout rollout = statement.rollouts().value(channel);
        rollout.halted = true;
        statement.setRollout(channel, rollout);
    }
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
    for (auto it = channels.cbegin(); it != channels.cend(); ++it) {
        QString line = u"  %1: version %2"_s.arg(it.key()).arg(it.value());
        if (const auto rollout = statement.rollouts().constFind(it.key());
            rollout != statement.rollouts().cend())
            line += (rollout->halted ? u"; %1 rolling out (halted at %2 %)"_s
                                     : u"; %1 rolling out to %2 % of installations"_s)
                            .arg(rollout->version)
                            .arg(percent(rollout->share));
        lines.append(line);
        const QMap<int, int> withdrawn = statement.withdrawals().value(it.key());
        for (auto back = withdrawn.cbegin(); back != withdrawn.cend(); ++back)
            lines.append(u"  %1: %2 withdrawn, back to %3"_s.arg(it.key())
                                 .arg(back.key())
                                 .arg(back.value()));
    }
    lines.append(u"  signed %1, expires %2"_s.arg(statement.signedAt().toString(Qt::ISODate),
                                                  statement.expires().toString(Qt::ISODate)));
    return lines;
}

bool ReleaseToolChannels::fail(const QString& text)
{
    error = text;
    return false;
}
