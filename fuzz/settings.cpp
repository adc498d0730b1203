// "mirrors.ini" and "update.ini" as every reader of them sees them: the input is written as both
// files of an application root, then read by MirrorsIni, the mirror list (default and alpha
// channel), the configuration and the session record. One input serves both files, so a seed
// may carry the groups of either. Nothing here may ask the update server: every path that reads
// the version from the files or the command line stays off the network.

#include "configuration.h"
#include "fuzzsupport.h"
#include "mirrors.h"
#include "mirrorsini.h"
#include "settingsfile.h"
#include "sharedrandom.h"
#include "updateinidata.h"
#include "usersettings.h"

#include <QCoreApplication>
#include <QSettings>

using namespace Qt::StringLiterals;
using FuzzSupport::check;

namespace {

constexpr int version = 1234;

const InstallationLayout& installation()
{
    static const InstallationLayout layout(FuzzSupport::scratchDir());
    return layout;
}

void readMirrorsIni(const QString& path)
{
    QSettings settings(path, QSettings::IniFormat);
    const QStringList names = MirrorsIni::names(settings);
    for (const QString& name : names) {
        check(!name.isEmpty() && name == name.trimmed(), "a blank or untrimmed mirror name");
        check(MirrorsIni::section(settings, name).retries > 0, "a mirror without retries");
    }
    check(MirrorsIni::urls(settings).size() <= names.size(), "more URLs than mirrors");
    check(MirrorsIni::names(settings) == names, "a second read finds other mirrors");
}

// Takes every slot, gives them back, counts a failure for each and removes them all: the
// bookkeeping of a run on whatever the file named.
void runMirrorList(Mirrors& mirrors, int streams)
{
    mirrors.shareSlots(streams, streams % 2 == 0);
    const QString suffix = u'/' + QString::number(version);
    qint64 offered = 0;
    for (const FTPSiteAccessData& site : mirrors.list()) {
        check(site.url.endsWith(suffix), "a mirror URL without the version directory");
        check(site.retries > 0, "a mirror without retries");
        check(site.maxUse > 0 && site.maxUse <= Mirrors::http2SlotLimit, "a share beyond limits");
        offered += site.maxUse;
    }
    QList<std::pair<QString, bool>> taken;
    FTPSiteAccessData site;
    bool multiplexable = false;
    while (mirrors.getRandomMirror(site, multiplexable) == Mirrors::Chosen) {
        taken.append({site.name, multiplexable});
        check(taken.size() <= offered, "more slots taken than mirrors offer");
        multiplexable = !multiplexable;
    }
    for (const auto& [name, stream] : std::as_const(taken))
        mirrors.releaseMirror(name, stream);
    for (const auto& [name, stream] : std::as_const(taken))
        mirrors.addMirrorError(name);
    // Each removal drops the first mirror of that name, so this ends after one per entry.
    for (qsizetype left = mirrors.list().size(); left > 0; --left)
        mirrors.removeMirror(mirrors.list().constFirst().name);
    check(mirrors.getRandomMirror(site) == Mirrors::NoMirrorLeft,
          "a mirror left after all were removed");
}

void readConfiguration(bool alphaMirror)
{
    Configuration configuration(installation());
    configuration.getUpdateChannel();
    check((configuration.channel == UpdateChannel::Alpha) == alphaMirror,
          "the configuration and the mirror list disagree on the alpha channel");
    const bool versionFromFile = configuration.clientVersion != 0;
    check(!versionFromFile || configuration.channel == UpdateChannel::Alpha,
          "a version from the file outside the alpha channel");
    check(UserSettings::read(installation()).streams >= 1, "fewer than one download stream");
    // Only a version from the file keeps the default parameters off the network.
    if (versionFromFile)
        check(configuration.getDefaultParameters(), "a version from the file is not taken");

    Configuration unattended(installation());
    check(unattended.parseCommandLineOptions(
                  {u"update"_s, u"--nouser"_s, u"client_linux_amd64"_s, u"1234"_s, u"Name"_s}),
          "a command line with a version is refused");
    check(unattended.clientVersion != 0 && unattended.noUser, "the command line's version is lost");

    int recordedVersion = 0;
    QString type;
    QString dir;
    if (UpdateIniData::get(installation(), &recordedVersion, &type, &dir))
        check(!type.isEmpty() && !dir.isEmpty(), "a session record without type or directory");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    FuzzSupport::application<QCoreApplication>();
    static_cast<void>(installation());
    SharedRandom::seed(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString mirrorsIni = installation().filePath(MirrorsIni::fileName());
    const QString updateIni = SettingsFile::updateIniPath(installation());
    const QByteArrayView content = FuzzSupport::bytes(data, size);
    FuzzSupport::writeInput(mirrorsIni, content);
    FuzzSupport::writeInput(updateIni, content);

    readMirrorsIni(mirrorsIni);

    Mirrors fromMirrorsIni;
    check(fromMirrorsIni.initDefault(mirrorsIni, version), "initDefault failed");
    // Any number of streams, from one up to beyond every limit.
    const int streams = 1 + static_cast<int>(size % 250);
    runMirrorList(fromMirrorsIni, streams);

    Mirrors alpha;
    const bool alphaMirror = alpha.initAlpha(updateIni, version);
    if (alphaMirror) {
        check(alpha.list().size() == 1, "the alpha channel is not one mirror");
        runMirrorList(alpha, streams);
    }

    readConfiguration(alphaMirror);
    return 0;
}
