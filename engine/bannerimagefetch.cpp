// The banner image, fetched over HTTP within its size limit.
#include "bannerimagefetch.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

using namespace Qt::StringLiterals;

BannerImageFetch::BannerImageFetch(QNetworkAccessManager* manager, QObject* parent)
    : QObject(parent)
    , manager(manager)
{}

BannerImageFetch::~BannerImageFetch()
{
    release();
}

void BannerImageFetch::fetch(const QString& imageUrl, const QString& click)
{
    // One banner at a time; a second answer of the service while the first image is still on
    // its way is ignored.
    if (reply)
        return;
    const QUrl url(imageUrl, QUrl::StrictMode);
    if (!isImageUrl(url))
        return;
    clickUrl = click;
    QNetworkRequest request(url);
    // As every other request: a redirect is not followed; its page is no image.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    reply = manager->get(request);
    connect(reply, &QNetworkReply::finished, this, &BannerImageFetch::onFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, &BannerImageFetch::onMetaDataChanged);
    connect(reply, &QNetworkReply::downloadProgress, this, &BannerImageFetch::onDownloadProgress);
}

bool BannerImageFetch::isImageUrl(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == u"http" || scheme == u"https") && !url.host().isEmpty();
}

void BannerImageFetch::onMetaDataChanged()
{
    if (!reply)
        return;
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > maxImageSize)
        release();
}

// A server that announces no length is held to the same limit by what actually arrives.
void BannerImageFetch::onDownloadProgress(qint64 bytesReceived)
{
    if (reply && bytesReceived > maxImageSize)
        release();
}

void BannerImageFetch::onFinished()
{
    if (!reply)
        return;
    const QByteArray image = reply->readAll();
    release();
    emit fetched(image, clickUrl);
}

void BannerImageFetch::release()
{
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}
