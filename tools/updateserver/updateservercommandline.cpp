#include "updateservercommandline.h"

using namespace Qt::StringLiterals;

UpdateServerCommandLine::UpdateServerCommandLine()
    : helpOption(QStringList{u"h"_s, u"help"_s}, u"Show this help."_s)
    , configOption(u"config"_s, u"Read the settings from an INI file; options override it."_s,
                   u"file"_s)
    , addressOption(u"address"_s, u"The IP address to listen on (default 127.0.0.1)."_s,
                    u"address"_s)
    , versionPortOption(u"version-port"_s,
                        u"The UDP port of the version query (default %1; 0: any free port)."_s.arg(
                                UpdateServerConfig::defaultVersionPort),
                        u"port"_s)
    , bannerPortOption(u"banner-port"_s,
                       u"The UDP port of the banner request (default %1; 0: any free port)."_s.arg(
                               UpdateServerConfig::defaultBannerPort),
                       u"port"_s)
    , rateLimitOption(u"rate-limit"_s,
                      u"Replies per client address and minute (default %1; 0: no limit)."_s.arg(
                              UpdateServerConfig::defaultRateLimit),
                      u"count"_s)
    , channelsOption(u"channels"_s,
                     u"The channel statement (<client type>.channels) whose channel records give "
                     u"each channel's version, read again when it changes. Its signature is not "
                     u"checked: it is the vendor's own file."_s,
                     u"file"_s)
    , newsOption(u"news"_s, u"The news text (rich text)."_s, u"text"_s)
    , newsFileOption(u"news-file"_s, u"A UTF-8 file holding the news text."_s, u"file"_s)
    , bannerImageOption(u"banner-image"_s, u"The address of the banner image."_s, u"url"_s)
    , bannerClickOption(u"banner-click"_s, u"The address the banner opens when clicked."_s,
                        u"url"_s)
{
    parser.setApplicationDescription(
            u"Answers the updater's version query and banner request over UDP. Each channel "
            u"(stable, beta, alpha) offers a client version with an optional display name."_s);
    parser.addOptions({helpOption, configOption, addressOption, versionPortOption, bannerPortOption,
                       rateLimitOption, channelsOption});
    for (int channel = 0; channel < UpdateServerConfig::channelCount; ++channel) {
        const QString name = UpdateServerConfig::channelName(channel);
        versionOptions.append(QCommandLineOption(
                name, u"The client version of the %1 channel."_s.arg(name), u"number"_s));
        nameOptions.append(QCommandLineOption(name + u"-name"_s,
                                              u"The display name of that version."_s, u"name"_s));
        parser.addOption(versionOptions.last());
        parser.addOption(nameOptions.last());
    }
    parser.addOptions({newsOption, newsFileOption, bannerImageOption, bannerClickOption});
}

UpdateServerCommandLine::Result UpdateServerCommandLine::parse(const QStringList& arguments)
{
    if (!parser.parse(arguments)) {
        problems = {parser.errorText()};
        return Result::UsageError;
    }
    if (parser.isSet(helpOption))
        return Result::Help;
    if (!parser.positionalArguments().isEmpty()) {
        problems = {u"unexpected argument \"%1\""_s.arg(parser.positionalArguments().first())};
        return Result::UsageError;
    }
    if (parser.isSet(configOption))
        static_cast<void>(parsed.load(parser.value(configOption), problems, warningLines));
    applyServerOptions();
    applyContentOptions();
    // Problems of reading come first; checking a half-read configuration would only add noise.
    if (problems.isEmpty())
        problems = parsed.problems();
    return problems.isEmpty() ? Result::Run : Result::ConfigurationError;
}

void UpdateServerCommandLine::applyServerOptions()
{
    if (parser.isSet(addressOption))
        check(addressOption, parsed.address.setAddress(parser.value(addressOption)));
    if (parser.isSet(versionPortOption))
        check(versionPortOption,
              UpdateServerConfig::parsePort(parser.value(versionPortOption), parsed.versionPort));
    if (parser.isSet(bannerPortOption))
        check(bannerPortOption,
              UpdateServerConfig::parsePort(parser.value(bannerPortOption), parsed.bannerPort));
    if (parser.isSet(rateLimitOption))
        check(rateLimitOption,
              UpdateServerConfig::parseRateLimit(parser.value(rateLimitOption), parsed.rateLimit));
    if (parser.isSet(channelsOption))
        parsed.channelsFile = parser.value(channelsOption);
}

void UpdateServerCommandLine::check(const QCommandLineOption& option, bool valid)
{
    UpdateServerConfig::checkSetting(u"--"_s + option.names().constFirst(), parser.value(option),
                                     valid, problems);
}

void UpdateServerCommandLine::applyContentOptions()
{
    for (int channel = 0; channel < UpdateServerConfig::channelCount; ++channel) {
        UpdateServerVersion& entry = parsed.versions.at(size_t(channel));
        if (parser.isSet(versionOptions.at(channel)))
            entry.version = parser.value(versionOptions.at(channel));
        if (parser.isSet(nameOptions.at(channel)))
            entry.name = parser.value(nameOptions.at(channel));
    }
    if (parser.isSet(newsOption) && parser.isSet(newsFileOption))
        problems.append(u"give the news as text or as a file, not both"_s);
    else if (parser.isSet(newsOption))
        parsed.news = parser.value(newsOption);
    else if (parser.isSet(newsFileOption))
        static_cast<void>(parsed.readNewsFile(parser.value(newsFileOption), problems));
    if (parser.isSet(bannerImageOption))
        parsed.bannerImage = parser.value(bannerImageOption);
    if (parser.isSet(bannerClickOption))
        parsed.bannerClick = parser.value(bannerClickOption);
}
