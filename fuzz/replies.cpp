// The replies that arrive over UDP: the update server's version list and news text, and the banner
// service's reply. One input is read as each of them, cut the way its receive buffer cuts it:
//  - the version list (511 bytes, up to the first zero byte) split into the channels' entries;
//  - the news text (4095 bytes, likewise) given to the news ticker, which takes the click address
//    from its "<!--URL=...-->" comment and lays the text out as HTML;
//  - the banner reply (1024 bytes) split into image and click address.
// Besides crashes it catches entries, addresses or click URLs that are not pieces of the reply.

#include "banner.h"
#include "configuration.h"
#include "fuzzsupport.h"
#include "newsbanner.h"
#include "newsbanner_p.h"
#include "updatechecker.h"

#include <QApplication>

#include <cstring>

using namespace Qt::StringLiterals;
using FuzzSupport::check;

namespace {

// What UpdateChecker makes of a datagram: at most bufferSize bytes, up to the first zero byte,
// one character per byte.
QString receivedText(QByteArrayView datagram, qsizetype bufferSize)
{
    const QByteArrayView received = datagram.first(qMin(datagram.size(), bufferSize));
    const auto length = qsizetype(::strnlen(received.data(), size_t(received.size())));
    return QString::fromLatin1(received.first(length));
}

void readVersionList(const QString& reply)
{
    UpdateChecker checker;
    checker.versions = UpdateChecker::parseVersionList(reply);
    const QStringList parts = reply.split(u',');
    check(checker.versions.size() == parts.size(), "not one entry per comma-separated part");
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const auto& [versionText, versionName] = checker.versions.at(i);
        check(!versionText.contains(u'#'), "a version text with a '#'");
        check(parts.at(i) == versionText || parts.at(i) == versionText + u'#' + versionName,
              "an entry that is not its part of the reply");
    }
    for (int index = -1; index <= 3; ++index) {
        const auto entry = checker.getClientVersionByChannel(static_cast<UpdateChannel>(index));
        if (index < 0 || index >= checker.versions.size()) {
            check(entry.first.isEmpty() && entry.second.isEmpty(),
                  "an entry for a missing channel");
            continue;
        }
        check(entry == checker.versions.at(index), "the wrong channel's entry");
        // The check the start-up makes of the version text.
        Configuration configuration{InstallationLayout()};
        static_cast<void>(configuration.getClientVersionFromString(entry.first, u"%1"_s));
    }
}

// One ticker for the whole run, as the window has; every input replaces its news.
NewsBanner& newsBanner()
{
    static FuzzSupport::Immortal<NewsBanner> banner;
    return banner.value;
}

void showNews(const QString& news)
{
    NewsBanner& banner = newsBanner();
    banner.setNews(news);
    const QString& clickUrl = NewsBannerPrivateAccess::clickUrl(banner);
    if (!clickUrl.isEmpty())
        check(news.contains(u"<!--URL="_s + clickUrl + u"-->"_s),
              "a click address that is not the comment's");
    static_cast<void>(banner.anchorAt(QPoint(1, 1)));
}

void readBannerReply(QByteArrayView datagram)
{
    const QByteArray received =
            datagram.first(qMin(datagram.size(), Banner::maxReplySize)).toByteArray();
    const std::optional<Banner::Reply> reply = Banner::parseReply(received);
    if (!reply)
        return;
    check(!reply->imageUrl.contains(u',') && !reply->clickUrl.contains(u','),
          "an address with a comma");
    check(reply->imageUrl + u',' + reply->clickUrl == QString::fromLatin1(received),
          "addresses that are not the reply");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    FuzzSupport::application<QApplication>();
    newsBanner().resize(400, 16);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView datagram = FuzzSupport::bytes(data, size);
    readVersionList(receivedText(datagram, UpdateChecker::versionReplySize));
    showNews(receivedText(datagram, UpdateChecker::newsReplySize));
    readBannerReply(datagram);
    return 0;
}
