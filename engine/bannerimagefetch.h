#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

// Fetches the banner image that the banner service names, through the run's network access and
// its proxy, held to a size whatever the server announces or sends. One image at a time.
class BannerImageFetch : public QObject
{
    Q_OBJECT

public:
    // An image announced or arriving larger than this is not fetched.
    static constexpr qint64 maxImageSize = 270000;

    // manager is the run's; it must outlive this object.
    explicit BannerImageFetch(QNetworkAccessManager* manager, QObject* parent = nullptr);
    ~BannerImageFetch() override;

    // Starts fetching imageUrl unless an image is still on its way or the address is no web
    // address; the image and clickUrl then arrive as fetched().
    void fetch(const QString& imageUrl, const QString& clickUrl);
    [[nodiscard]] bool isFetching() const { return !reply.isNull(); }

    // The address comes in an unauthenticated datagram: only web addresses are fetched, never
    // local files or resources.
    [[nodiscard]] static bool isImageUrl(const QUrl& url);

signals:
    // Passed on as it came, also after a failure: the window decides what it can show.
    void fetched(QByteArray image, QString clickUrl);

private:
    void onMetaDataChanged();
    void onDownloadProgress(qint64 bytesReceived);
    void onFinished();
    // Abandons the transfer if it still runs.
    void release();

    QNetworkAccessManager* manager;
    QPointer<QNetworkReply> reply;
    QString clickUrl;
};
