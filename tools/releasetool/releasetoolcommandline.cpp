#include "releasetoolcommandline.h"

#include "channelstatement.h"
#include "releasetoolnames.h"

#include <QRegularExpression>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

const QString defaultClientType = u"client_linux_amd64"_s;
const QString versionRange = QString::number(std::numeric_limits<qint32>::max());

} // namespace

ReleaseToolCommandLine::ReleaseToolCommandLine()
    : helpOption(QStringList{u"h"_s, u"help"_s}, u"Show this help."_s)
    , versionOption(u"client-version"_s, u"The number of the client version (required)."_s,
                    u"number"_s)
    , typeOption(u"client-type"_s, u"The client type (default %1)."_s.arg(defaultClientType),
                 u"type"_s, defaultClientType)
    , keyOption(u"key"_s, u"The release-signing private key from sonavelle-keytool (required)."_s,
                u"file"_s)
    , manifestKeyOption(u"manifest-key"_s,
                        u"The Ed25519 private key (PEM) that signs the release manifest; without "
                        u"it no manifest is written."_s,
                        u"file"_s)
    , addManifestOption(u"add-manifest"_s,
                        u"Add the signed manifest to the version that mirror-root holds, after "
                        u"checking its files against its product ini. Takes the mirror root "
                        u"alone and --manifest-key."_s)
    , changelogOption(u"changelog"_s, u"The change log of the version."_s, u"file"_s)
    , previousOption(u"previous"_s,
                     u"The client directory of the previous version: its files that this "
                     u"version lacks are deleted by the updater."_s,
                     u"directory"_s)
    , previousIniOption(u"previous-ini"_s,
                        u"The product ini of the previous version, in place of or beside "
                        u"--previous."_s,
                        u"file"_s)
    , compressOption(u"compress"_s,
                     u"Compress files whose name matches the wildcard pattern; a pattern with "
                     u"\"/\" matches the path below the client directory. Repeatable."_s,
                     u"pattern"_s)
    , compressMinSizeOption(u"compress-min-size"_s, u"Compress files of at least this size."_s,
                            u"bytes"_s)
    , deltaFromOption(u"delta-from"_s,
                      u"Make binary deltas from an earlier release to this one: its client "
                      u"directory, or the number of a version that mirror-root holds. Files "
                      u"above 48 MiB get none, nor do files whose delta is more than half their "
                      u"size on the mirrors. Repeatable; needs --manifest-key."_s,
                      u"earlier"_s)
    , replaceOption(u"replace"_s, u"Replace the version if it is published already; updaters "
                                  u"that are downloading it meanwhile fail their update. With "
                                  u"--add-manifest: replace its manifest."_s)
    , jobsOption(u"jobs"_s, u"Files processed at the same time (default: one per core)."_s,
                 u"count"_s)
    , channelOption(u"channel"_s,
                    u"Sign the channel statement at mirror-root, naming the version of a channel "
                    u"(e.g. stable=1235), whose signed manifest mirror-root holds; the other "
                    u"channels stay as stated. Repeatable; takes the mirror root alone."_s,
                    u"name=version"_s)
    , refreshChannelsOption(u"refresh-channels"_s,
                            u"Sign the channel statement at mirror-root again, with a new "
                            u"expiry; for a timer."_s)
    , expiresOption(u"expires"_s,
                    u"How long the channel statement holds: a number of days, hours or "
                    u"minutes, such as 7d, 12h or 90m (default 7d)."_s,
                    u"duration"_s)
    , channelKeyOption(u"channel-key"_s,
                       u"The Ed25519 private key (PEM) that signs the channel statement."_s,
                       u"file"_s)
    , rolloutOption(u"rollout"_s,
                    u"With one --channel: give its version to this share of the channel's "
                    u"installations, such as 1%, 10% or 0.5% (two decimals at most), the others "
                    u"staying on --from; 100% completes the rollout. With --refresh-channels: "
                    u"change the share of the rollout under way. A share reopens a halted "
                    u"rollout."_s,
                    u"percent"_s)
    , fromOption(u"from"_s,
                 u"With --rollout: the version of the installations outside the rollout "
                 u"(default: the channel's version), whose signed manifest mirror-root holds."_s,
                 u"version"_s)
    , haltOption(u"halt"_s,
                 u"Sign the channel statement at mirror-root again with the rollout of the "
                 u"channel halted: no more installations take its version, those that have it "
                 u"keep it. Repeatable."_s,
                 u"channel"_s)
    , withdrawOption(u"withdraw"_s,
                     u"Sign the channel statement at mirror-root with a version of a channel "
                     u"withdrawn for good (e.g. stable=1236): its installations go back to the "
                     u"--to version, and so does the channel if it is on it."_s,
                     u"name=version"_s)
    , toOption(u"to"_s,
               u"With --withdraw: the older version its installations go back to, whose signed "
               u"manifest mirror-root holds (default: the channel's version, if older)."_s,
               u"version"_s)
{
    parser.setApplicationDescription(
            u"Publishes the files of a client version as a signed mirror tree: "
            u"<mirror-root>/<version>/<type>.ini, its signature, the signed manifest, the change "
            u"log and the files."_s);
    parser.addPositionalArgument(u"client-dir"_s, u"The files of the client version."_s);
    parser.addPositionalArgument(u"mirror-root"_s,
                                 u"The directory the mirrors serve; the version goes below it."_s);
    parser.addOptions({helpOption, versionOption, typeOption, keyOption, manifestKeyOption,
                       addManifestOption, changelogOption, previousOption, previousIniOption,
                       compressOption, compressMinSizeOption, deltaFromOption, replaceOption,
                       jobsOption, channelOption, refreshChannelsOption, expiresOption,
                       channelKeyOption});
    parser.addOptions({rolloutOption, fromOption, haltOption, withdrawOption, toOption});
}

ReleaseToolCommandLine::Result ReleaseToolCommandLine::parse(const QStringList& arguments)
{
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return Result::UsageError;
    }
    if (parser.isSet(helpOption))
        return Result::Help;
    parsed.signChannels = parser.isSet(channelOption) || parser.isSet(refreshChannelsOption) ||
                          parser.isSet(haltOption) || parser.isSet(withdrawOption);
    if (parsed.signChannels)
        return readChannelOptions();
    for (const QCommandLineOption* option :
         {&expiresOption, &channelKeyOption, &rolloutOption, &fromOption, &toOption}) {
        if (parser.isSet(*option))
            return usageError(
                    u"--%1 is for signing the channel statement (--channel, "
                    u"--refresh-channels, --halt, --withdraw)"_s.arg(option->names().constFirst()));
    }
    parsed.addManifest = parser.isSet(addManifestOption);
    if (!readPositionals() || !readClientVersionAndType() || !readCompression() || !readJobs() ||
        !readKeys())
        return Result::UsageError;
    parsed.changelog = parser.value(changelogOption);
    parsed.previousDir = parser.value(previousOption);
    parsed.previousIni = parser.value(previousIniOption);
    parsed.replace = parser.isSet(replaceOption);
    return Result::Run;
}

bool ReleaseToolCommandLine::readPositionals()
{
    const QStringList positionals = parser.positionalArguments();
    if (parsed.addManifest) {
        if (positionals.size() != 1)
            return reject(u"give the mirror root alone with --add-manifest"_s);
        parsed.mirrorRoot = positionals[0];
        return true;
    }
    if (positionals.size() != 2)
        return reject(u"give the client directory and the mirror root"_s);
    parsed.clientDir = positionals[0];
    parsed.mirrorRoot = positionals[1];
    return true;
}

bool ReleaseToolCommandLine::readClientVersionAndType()
{
    if (!parser.isSet(versionOption))
        return reject(u"the client version is missing (--client-version)"_s);
    // The updater reads the number as a signed 32-bit decimal; 0 means "unknown" to it.
    const QString text = parser.value(versionOption);
    bool ok = false;
    parsed.clientVersion = text.toInt(&ok, 10);
    if (!ok || parsed.clientVersion <= 0 || text != QString::number(parsed.clientVersion))
        return reject(u"client version %1 is not a number from 1 to %2"_s.arg(
                ReleaseToolNames::display(text), versionRange));
    parsed.clientType = parser.value(typeOption);
    const QString problem = ReleaseToolNames::clientTypeProblem(parsed.clientType);
    if (!problem.isEmpty())
        return reject(problem);
    return true;
}

bool ReleaseToolCommandLine::readCompression()
{
    parsed.compressPatterns = parser.values(compressOption);
    if (!parser.isSet(compressMinSizeOption))
        return true;
    bool ok = false;
    parsed.compressMinSize = parser.value(compressMinSizeOption).toLongLong(&ok);
    if (!ok || parsed.compressMinSize < 0)
        return reject(u"--compress-min-size needs a number of bytes"_s);
    return true;
}

bool ReleaseToolCommandLine::readJobs()
{
    if (!parser.isSet(jobsOption))
        return true;
    bool ok = false;
    parsed.jobs = parser.value(jobsOption).toInt(&ok);
    if (!ok || parsed.jobs < 1)
        return reject(u"--jobs needs a count of at least 1"_s);
    return true;
}

bool ReleaseToolCommandLine::readKeys()
{
    parsed.manifestKey = parser.value(manifestKeyOption);
    if (!parsed.addManifest) {
        parsed.privateKey = parser.value(keyOption);
        parsed.deltaFrom = parser.values(deltaFromOption);
        if (!parser.isSet(keyOption))
            return reject(u"the private key is missing (--key)"_s);
        // Older updaters read only the product ini; a patch is trusted only through the manifest.
        return parsed.deltaFrom.isEmpty() || !parsed.manifestKey.isEmpty() ||
               reject(u"--delta-from needs --manifest-key: patches are listed only in the "
                      u"signed manifest"_s);
    }
    // The version is published already; what only publishing uses would silently do nothing.
    for (const QCommandLineOption* option :
         {&keyOption, &changelogOption, &previousOption, &previousIniOption, &compressOption,
          &compressMinSizeOption, &deltaFromOption}) {
        if (parser.isSet(*option))
            return reject(u"--%1 is for publishing a version, not for --add-manifest"_s.arg(
                    option->names().constFirst()));
    }
    return !parsed.manifestKey.isEmpty() ||
           reject(u"the manifest key is missing (--manifest-key)"_s);
}

ReleaseToolCommandLine::Result ReleaseToolCommandLine::readChannelOptions()
{
    const QStringList positionals = parser.positionalArguments();
    if (positionals.size() != 1)
        return usageError(u"give the mirror root alone with --channel or --refresh-channels"_s);
    parsed.mirrorRoot = positionals[0];
    parsed.clientType = parser.value(typeOption);
    QString problem = ReleaseToolNames::clientTypeProblem(parsed.clientType);
    if (!parser.isSet(channelKeyOption))
        problem = u"the channel key is missing (--channel-key)"_s;
    for (const QCommandLineOption* option :
         {&versionOption, &keyOption, &manifestKeyOption, &addManifestOption, &changelogOption,
          &previousOption, &previousIniOption, &compressOption, &compressMinSizeOption,
          &deltaFromOption, &replaceOption}) {
        if (parser.isSet(*option))
            problem = u"--%1 is for publishing a version, not for the channel statement"_s.arg(
                    option->names().constFirst());
    }
    if (!problem.isEmpty())
        return usageError(problem);
    parsed.channelKey = parser.value(channelKeyOption);
    for (const QString& text : parser.values(channelOption)) {
        if (!readChannel(text))
            return Result::UsageError;
    }
    return readRollout() && readHalts() && readWithdrawal() && readExpiry() ? Result::Run
                                                                            : Result::UsageError;
}

bool ReleaseToolCommandLine::readChannel(const QString& text)
{
    QString name;
    qint32 version = 0;
    if (!readChannelVersion(u"channel"_s, text, name, version))
        return false;
    if (parsed.channels.contains(name))
        return reject(u"--channel names %1 twice"_s.arg(name));
    parsed.channels.insert(name, version);
    return true;
}

// "name=version", as --channel and --withdraw take it.
bool ReleaseToolCommandLine::readChannelVersion(const QString& option, const QString& text,
                                                QString& name, qint32& version)
{
    const qsizetype equals = text.indexOf(u'=');
    name = text.left(equals);
    const QString versionText = text.mid(equals + 1);
    bool ok = false;
    version = versionText.toInt(&ok, 10);
    if (equals < 0 || !ChannelStatement::isChannelName(name) || !ok || version <= 0 ||
        versionText != QString::number(version))
        return reject(u"--%1 %2 is not a channel name of lower-case letters, digits and "
                      u"'-', '=' and a version from 1 to %3"_s.arg(
                              option, ReleaseToolNames::display(text), versionRange));
    return true;
}

bool ReleaseToolCommandLine::readVersion(const QCommandLineOption& option, qint32& version)
{
    const QString text = parser.value(option);
    bool ok = false;
    version = text.toInt(&ok, 10);
    if (ok && version > 0 && text == QString::number(version))
        return true;
    return reject(u"--%1 %2 is not a version from 1 to %3"_s.arg(
            option.names().constFirst(), ReleaseToolNames::display(text), versionRange));
}

bool ReleaseToolCommandLine::readRollout()
{
    if (!parser.isSet(rolloutOption))
        return !parser.isSet(fromOption) ||
               reject(u"--from goes with --rollout: the version outside the rollout"_s);
    if (parsed.channels.size() > 1)
        return reject(u"--rollout takes one --channel, the version it rolls out"_s);
    if (parsed.channels.isEmpty() && !parser.isSet(refreshChannelsOption))
        return reject(u"--rollout needs --channel name=version, or --refresh-channels to change "
                      u"the share of the rollout under way"_s);
    if (parser.isSet(haltOption))
        return reject(u"--halt and --rollout contradict each other: a share reopens a halted "
                      u"rollout"_s);
    if (!readShare(parser.value(rolloutOption)))
        return false;
    if (!parser.isSet(fromOption))
        return true;
    if (parsed.channels.isEmpty())
        return reject(u"--from goes with --channel: the rollout under way keeps its version "
                      u"outside"_s);
    if (parsed.rolloutShare == ChannelStatement::shareScale)
        return reject(u"--rollout 100% completes the rollout: the channel takes its version, "
                      u"and --from has no place"_s);
    if (!readVersion(fromOption, parsed.rolloutFrom))
        return false;
    const auto channel = parsed.channels.cbegin();
    return parsed.rolloutFrom < channel.value() ||
           reject(u"--from %1 is not older than --channel %2=%3"_s.arg(parsed.rolloutFrom)
                          .arg(channel.key())
                          .arg(channel.value()));
}

// A percentage with up to two decimals, in ten-thousandths: one is the smallest share.
bool ReleaseToolCommandLine::readShare(const QString& text)
{
    static const QRegularExpression shareText(u"^(-?)(\\d+)(?:\\.(\\d+))?%?$"_s);
    const QRegularExpressionMatch match = shareText.match(text);
    const QString shown = ReleaseToolNames::display(text);
    if (!match.hasMatch())
        return reject(u"--rollout %1 is not a share in percent, such as 10% or 0.5%"_s.arg(shown));
    if (match.capturedLength(3) > 2)
        return reject(u"--rollout %1 has more than two decimals: the smallest share is 0.01%"_s.arg(
                shown));
    bool ok = false;
    qint64 whole = match.captured(2).toLongLong(&ok);
    if (!ok || whole > 100)
        whole = 101; // only its being above 100 matters
    const qint64 share = whole * 100 + match.captured(3).leftJustified(2, u'0').toInt();
    if (match.capturedLength(1) > 0 || share == 0)
        return reject(u"--rollout %1 gives the version to no installation: give a share above "
                      u"0%, or --halt to stop a rollout"_s.arg(shown));
    if (share > ChannelStatement::shareScale)
        return reject(u"--rollout %1 is more than 100%"_s.arg(shown));
    parsed.rolloutShare = int(share);
    return true;
}

bool ReleaseToolCommandLine::readHalts()
{
    parsed.halts = parser.values(haltOption);
    for (const QString& channel : std::as_const(parsed.halts)) {
        if (!ChannelStatement::isChannelName(channel))
            return reject(u"--halt %1 is not a channel name of lower-case letters, digits and "
                          u"'-'"_s.arg(ReleaseToolNames::display(channel)));
    }
    return true;
}

bool ReleaseToolCommandLine::readWithdrawal()
{
    if (!parser.isSet(withdrawOption))
        return !parser.isSet(toOption) ||
               reject(u"--to goes with --withdraw: the version its installations go back to"_s);
    if (parser.values(withdrawOption).size() > 1)
        return reject(u"give one --withdraw at a time"_s);
    if (!readChannelVersion(u"withdraw"_s, parser.value(withdrawOption), parsed.withdrawChannel,
                            parsed.withdrawVersion))
        return false;
    if (!parser.isSet(toOption))
        return true;
    if (!readVersion(toOption, parsed.withdrawTo))
        return false;
    return parsed.withdrawTo < parsed.withdrawVersion ||
           reject(u"--to %1 is not older than the withdrawn version %2"_s.arg(parsed.withdrawTo)
                          .arg(parsed.withdrawVersion));
}

bool ReleaseToolCommandLine::readExpiry()
{
    if (!parser.isSet(expiresOption))
        return true;
    static const QMap<QChar, qint64> unitSeconds{{u'd', 24 * 3600}, {u'h', 3600}, {u'm', 60}};
    const QString text = parser.value(expiresOption);
    bool ok = false;
    const qint64 count = text.chopped(text.isEmpty() ? 0 : 1).toLongLong(&ok, 10);
    const qint64 unit = text.isEmpty() ? 0 : unitSeconds.value(text.back());
    // Up to ten years: a statement that never expires would hide a frozen update server.
    constexpr qint64 maxSeconds = 3650LL * 24 * 3600;
    if (!ok || count <= 0 || unit == 0 || count > maxSeconds / unit)
        return reject(u"--expires %1 is not a number of days, hours or minutes (7d, 12h, 90m) "
                      u"up to ten years"_s.arg(ReleaseToolNames::display(text)));
    parsed.expiresSeconds = count * unit;
    return true;
}

ReleaseToolCommandLine::Result ReleaseToolCommandLine::usageError(const QString& text)
{
    error = text;
    return Result::UsageError;
}

bool ReleaseToolCommandLine::reject(const QString& text)
{
    error = text;
    return false;
}
