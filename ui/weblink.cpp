#include "weblink.h"

#include <QDesktopServices>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace WebLink {

bool isWebLink(const QUrl& url)
{
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme();
    return scheme.compare(u"http"_s, Qt::CaseInsensitive) == 0 ||
           scheme.compare(u"https"_s, Qt::CaseInsensitive) == 0;
}

bool open(const QUrl& url)
{
    if (!isWebLink(url))
        return false;
    QDesktopServices::openUrl(url);
    return true;
}

QString refusedLine(const QString& address)
{
    return u"Not opening %1: only http and https links are opened"_s.arg(address);
}

} // namespace WebLink
