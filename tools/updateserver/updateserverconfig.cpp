#include "updateserverconfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

const QStringList knownSettings{
        u"server/address"_s,   u"server/versionPort"_s, u"server/bannerPort"_s,
        u"server/rateLimit"_s, u"server/channels"_s,    u"stable/version"_s,
        u"stable/name"_s,      u"beta/version"_s,       u"beta/name"_s,
        u"alpha/version"_s,    u"alpha/name"_s,         u"news/text"_s,
        u"news/file"_s,        u"banner/image"_s,       u"banner/click"_s};

// The INI reader splits an unquoted value at its commas and drops the blanks around them.
bool readText(const QSettings& settings, const QString& key, QString& text, QStringList& problems)
{
    if (!settings.contains(key))
        return false;
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::QStringList) {
        problems.append(u"setting %1: put a value with a comma in double quotes"_s.arg(key));
        return false;
    }
    text = value.toString();
    return true;
}

bool isLatin1(const QString& text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() <= 0xff; });
}

bool hasControl(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// The news is rich text: what Latin-1 cannot carry travels as a character reference.
QByteArray latin1Html(const QString& text)
{
    QByteArray bytes;
    for (const char32_t c : text.toUcs4()) {
        if (c <= 0xff)
            bytes += char(c);
        else
            bytes += "&#" + QByteArray::number(uint(c)) + ';';
    }
    return bytes;
}

bool isWebUrl(const QUrl& url)
{
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == u"http" || url.scheme() == u"https");
}

QByteArray encodedUrl(const QString& text)
{
    return text.isEmpty() ? QByteArray() : QUrl(text, QUrl::StrictMode).toEncoded();
}

} // namespace

QString UpdateServerConfig::channelName(int channel)
{
    return updateChannelName(UpdateChannel(channel));
}

void UpdateServerConfig::checkSetting(const QString& setting, const QString& text, bool valid,
                                      QStringList& problems)
{
    if (!valid)
        problems.append(u"%1: \"%2\" is not valid"_s.arg(setting, text));
}

bool UpdateServerConfig::parseRateLimit(const QString& text, int& limit)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0)
        return false;
    limit = value;
    return true;
}

bool UpdateServerConfig::parsePort(const QString& text, quint16& port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value > std::numeric_limits<quint16>::max())
        return false;
    port = quint16(value);
    return true;
}

bool UpdateServerConfig::load(const QString& fileName, QStringList& problems, QStringList& warnings)
{
    if (!QFileInfo(fileName).isFile()) {
        problems.append(u"configuration file %1 not found"_s.arg(fileName));
        return false;
    }
    QSettings settings(fileName, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        problems.append(u"configuration file %1 is not an INI file"_s.arg(fileName));
        return false;
    }
    const qsizetype before = problems.size();
    const QString baseDir = QFileInfo(fileName).absolutePath();
    readServer(settings, baseDir, problems);
    readVersions(settings, problems);
    readNewsAndBanner(settings, baseDir, problems);
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        if (!knownSettings.contains(key))
            warnings.append(u"%1: unknown setting %2"_s.arg(fileName, key));
    }
    return problems.size() == before;
}

void UpdateServerConfig::readServer(QSettings& settings, const QString& baseDir,
                                    QStringList& problems)
{
    QString text;
    if (readText(settings, u"server/address"_s, text, problems))
        checkSetting(u"server/address"_s, text, address.setAddress(text), problems);
    if (readText(settings, u"server/versionPort"_s, text, problems))
        checkSetting(u"server/versionPort"_s, text, parsePort(text, versionPort), problems);
    if (readText(settings, u"server/bannerPort"_s, text, problems))
        checkSetting(u"server/bannerPort"_s, text, parsePort(text, bannerPort), problems);
    if (readText(settings, u"server/rateLimit"_s, text, problems))
        checkSetting(u"server/rateLimit"_s, text, parseRateLimit(text, rateLimit), problems);
    if (readText(settings, u"server/channels"_s, text, problems) && !text.isEmpty())
        channelsFile = QDir(baseDir).filePath(text);
}

void UpdateServerConfig::readVersions(QSettings& settings, QStringList& problems)
{
    for (int channel = 0; channel < channelCount; ++channel) {
        const QString group = channelName(channel);
        static_cast<void>(readText(settings, group + u"/version"_s,
                                   versions.at(size_t(channel)).version, problems));
        static_cast<void>(readText(settings, group + u"/name"_s, versions.at(size_t(channel)).name,
                                   problems));
    }
}

void UpdateServerConfig::readNewsAndBanner(QSettings& settings, const QString& baseDir,
                                           QStringList& problems)
{
    QString newsFile;
    const bool hasText = readText(settings, u"news/text"_s, news, problems);
    if (readText(settings, u"news/file"_s, newsFile, problems)) {
        if (hasText)
            problems.append(u"give the news as text or as a file, not both"_s);
        else
            static_cast<void>(readNewsFile(QDir(baseDir).filePath(newsFile), problems));
    }
    static_cast<void>(readText(settings, u"banner/image"_s, bannerImage, problems));
    static_cast<void>(readText(settings, u"banner/click"_s, bannerClick, problems));
}

bool UpdateServerConfig::readNewsFile(const QString& fileName, QStringList& problems)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        problems.append(u"cannot read the news file %1: %2"_s.arg(fileName, file.errorString()));
        return false;
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(file.readAll());
    if (decoder.hasError()) {
        problems.append(u"the news file %1 is not UTF-8 text"_s.arg(fileName));
        return false;
    }
    news = text;
    return true;
}

QStringList UpdateServerConfig::problems() const
{
    QStringList found;
    if (versionPort != 0 && versionPort == bannerPort)
        found.append(u"the version service and the banner service need different ports"_s);
    checkVersions(found);
    checkNews(found);
    checkBanner(found);
    return found;
}

void UpdateServerConfig::checkVersions(QStringList& problems) const
{
    bool any = false;
    for (int channel = 0; channel < channelCount; ++channel) {
        const QString channelText = channelName(channel);
        const UpdateServerVersion& entry = versions.at(size_t(channel));
        any = any || !entry.version.isEmpty();
        // Updaters read the version as a signed 32-bit decimal; 0 means "unknown" to them.
        bool ok = false;
        const int number = entry.version.toInt(&ok);
        if (!entry.version.isEmpty() &&
            (!ok || number <= 0 || entry.version != QString::number(number)))
            problems.append(u"%1 version \"%2\" is not a number from 1 to %3"_s.arg(
                    channelText, entry.version,
                    QString::number(std::numeric_limits<qint32>::max())));
        if (entry.name.isEmpty())
            continue;
        // The statement may give the version later; until then the channel answers none.
        if (entry.version.isEmpty() && channelsFile.isEmpty())
            problems.append(u"%1 version name is given without a %1 version"_s.arg(channelText));
        if (entry.name.contains(u','))
            problems.append(u"%1 version name must not contain \",\""_s.arg(channelText));
        if (hasControl(entry.name))
            problems.append(u"%1 version name contains a control character"_s.arg(channelText));
        if (!isLatin1(entry.name))
            problems.append(u"%1 version name has characters outside Latin-1, which updaters "
                            u"cannot show"_s.arg(channelText));
    }
    if (!any && channelsFile.isEmpty())
        problems.append(u"no client version is given for any channel"_s);
    const qsizetype size = versionListReply().size();
    if (size > versionListLimit)
        problems.append(u"the version list takes %1 bytes; updaters read at most %2"_s.arg(
                QString::number(size), QString::number(versionListLimit)));
}

void UpdateServerConfig::checkNews(QStringList& problems) const
{
    if (news.contains(QChar(0)))
        problems.append(u"the news contains a zero character"_s);
    const qsizetype size = newsReply().size();
    if (size > newsLimit)
        problems.append(u"the news takes %1 bytes; updaters read at most %2"_s.arg(
                QString::number(size), QString::number(newsLimit)));
}

void UpdateServerConfig::checkBanner(QStringList& problems) const
{
    if (!hasBanner()) {
        if (!bannerClick.isEmpty())
            problems.append(u"the banner click address needs a banner image address"_s);
        return;
    }
    if (!isWebUrl(QUrl(bannerImage, QUrl::StrictMode)))
        problems.append(
                u"the banner image address \"%1\" is not an http or https URL"_s.arg(bannerImage));
    if (!bannerClick.isEmpty() && !QUrl(bannerClick, QUrl::StrictMode).isValid())
        problems.append(u"the banner click address \"%1\" is not a URL"_s.arg(bannerClick));
    // Updaters take the reply apart at its one comma.
    if (encodedUrl(bannerImage).contains(',') || encodedUrl(bannerClick).contains(','))
        problems.append(u"the banner addresses must not contain \",\""_s);
    const qsizetype size = bannerReply().size();
    if (size > bannerLimit)
        problems.append(u"the banner reply takes %1 bytes; updaters read at most %2"_s.arg(
                QString::number(size), QString::number(bannerLimit)));
}

QByteArray UpdateServerConfig::versionListReply() const
{
    QByteArrayList entries;
    for (const UpdateServerVersion& entry : versions) {
        QByteArray text = entry.version.toLatin1();
        // A name without a version would only puzzle updaters.
        if (!entry.version.isEmpty() && !entry.name.isEmpty())
            text += '#' + entry.name.toLatin1();
        entries.append(text);
    }
    return entries.join(',');
}

QByteArray UpdateServerConfig::newsReply() const
{
    return latin1Html(news);
}

QByteArray UpdateServerConfig::bannerReply() const
{
    return encodedUrl(bannerImage) + ',' + encodedUrl(bannerClick);
}
