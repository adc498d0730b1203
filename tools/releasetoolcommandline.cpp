#include "releasetoolcommandline.h"

#include "releasetoolnames.h"

#include <limits>

using namespace Qt::StringLiterals;

namespace {

const QString defaultClientType = u"client_linux_amd64"_s;

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
                       jobsOption});
}

ReleaseToolCommandLine::Result ReleaseToolCommandLine::parse(const QStringList& arguments)
{
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return Result::UsageError;
    }
    if (parser.isSet(helpOption))
        return Result::Help;
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
                ReleaseToolNames::display(text),
                QString::number(std::numeric_limits<qint32>::max())));
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

bool ReleaseToolCommandLine::reject(const QString& text)
{
    error = text;
    return false;
}
