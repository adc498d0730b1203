#include "updateserver.h"

#include "updateserverchannels.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype shownRequestBytes = 16;

// "127.0.0.1:5000", "[::1]:5000"; an IPv4 client of a dual-stack socket shows as IPv4.
QString peerText(const QNetworkDatagram& datagram)
{
    QHostAddress address = datagram.senderAddress();
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        address = QHostAddress(ipv4);
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                                 ? u'[' + address.toString() + u']'
                                 : address.toString();
    return host + u':' + QString::number(datagram.senderPort());
}

QString byteCount(qsizetype count)
{
    return QString::number(count) + (count == 1 ? u" byte"_s : u" bytes"_s);
}

QString bytesText(const QByteArray& data)
{
    QString text = byteCount(data.size());
    if (!data.isEmpty())
        text += u" ("_s + QString::fromLatin1(data.left(shownRequestBytes).toHex(' ')) +
                (data.size() > shownRequestBytes ? u" ...)"_s : u")"_s);
    return text;
}

} // namespace

UpdateServer::UpdateServer(const UpdateServerConfig& config, QObject* parent)
    : QObject(parent)
    , config(config)
    , versionSocket(new QUdpSocket(this))
    , limiter(config.rateLimit)
{
    clock.start();
    leftOutTimer.setSingleShot(true);
    connect(&leftOutTimer, &QTimer::timeout, this, &UpdateServer::reportLeftOut);
    connect(versionSocket, &QUdpSocket::readyRead, this, &UpdateServer::onVersionRequests);
    if (!config.channelsFile.isEmpty()) {
        channels = new UpdateServerChannels(config, this);
        connect(channels, &UpdateServerChannels::message, this, &UpdateServer::message);
    }
}

bool UpdateServer::listen()
{
    if (!bind(versionSocket, config.versionPort, u"version service"_s) || !listenForBanners())
        return false;
    if (channels)
        channels->refresh(config);
    return true;
}

bool UpdateServer::listenForBanners()
{
    if (!config.hasBanner()) {
        emit message(u"banner service off: no banner image given"_s);
        return true;
    }
    bannerSocket = new QUdpSocket(this);
    connect(bannerSocket, &QUdpSocket::readyRead, this, &UpdateServer::onBannerRequests);
    return bind(bannerSocket, config.bannerPort, u"banner service"_s);
}

bool UpdateServer::bind(QUdpSocket* socket, quint16 port, const QString& service)
{
    // Without exclusive use a second server could share the port and take part of the requests.
    if (!socket->bind(config.address, port, QAbstractSocket::DontShareAddress)) {
        error = u"%1 cannot listen on %2 port %3: %4"_s.arg(
                service, config.address.toString(), QString::number(port), socket->errorString());
        return false;
    }
    emit message(u"%1 listening on %2 port %3"_s.arg(service, socket->localAddress().toString(),
                                                     QString::number(socket->localPort())));
    return true;
}

void UpdateServer::onVersionRequests()
{
    while (versionSocket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = versionSocket->receiveDatagram();
        const QByteArray data = datagram.data();
        const Request request = data == QByteArrayView("3\0", 2)   ? Request::VersionList
                                : data == QByteArrayView("*\0", 2) ? Request::News
                                                                   : Request::Malformed;
        answer(versionSocket, datagram, request);
    }
}

void UpdateServer::onBannerRequests()
{
    while (bannerSocket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = bannerSocket->receiveDatagram();
        const Request request = datagram.data() == QByteArrayView("\x01\x01", 2)
                                        ? Request::Banner
                                        : Request::Malformed;
        answer(bannerSocket, datagram, request);
    }
}

void UpdateServer::answer(QUdpSocket* socket, const QNetworkDatagram& datagram, Request request)
{
    if (!datagram.isValid())
        return;
    const QString peer = peerText(datagram);
    if (request == Request::Malformed) {
        report(peer + u" malformed request ignored: "_s + bytesText(datagram.data()));
        return;
    }
    const QString name = nameOf(request);
    switch (limiter.allow(datagram.senderAddress(), now())) {
    case UpdateServerRateLimiter::Verdict::Allowed:
        break;
    case UpdateServerRateLimiter::Verdict::Refused:
        report(u"%1 %2: not answered, rate limit reached; further requests from this address are "
               u"not logged until its minute is over"_s.arg(peer, name));
        return;
    case UpdateServerRateLimiter::Verdict::RefusedAgain:
        return;
    }
    if (request == Request::VersionList && channels)
        channels->refresh(config);
    const QByteArray reply = replyTo(request);
    if (socket->writeDatagram(datagram.makeReply(reply)) != reply.size()) {
        report(u"%1 %2: reply failed: %3"_s.arg(peer, name, socket->errorString()));
        return;
    }
    report(u"%1 %2: replied %3"_s.arg(peer, name, byteCount(reply.size())));
}

std::chrono::milliseconds UpdateServer::now() const
{
    return std::chrono::milliseconds(clock.elapsed());
}

void UpdateServer::report(const QString& line)
{
    reportLeftOut();
    if (logBudget.allow(now()))
        emit message(line);
    else
        awaitEndOfLeftOut();
}

// The count of the lines left out, once their second is over.
void UpdateServer::reportLeftOut()
{
    if (const qint64 count = logBudget.takeLeftOut(now()); count > 0)
        emit message(u"%1 more requests not logged: at most %2 lines a second"_s.arg(count).arg(
                logBudget.maxLinesPerInterval()));
    // A timer may end a little early.
    if (logBudget.leavesOut())
        awaitEndOfLeftOut();
}

void UpdateServer::awaitEndOfLeftOut()
{
    if (!leftOutTimer.isActive())
        leftOutTimer.start(std::max(logBudget.intervalEnd() - now(), std::chrono::milliseconds(1)));
}

QString UpdateServer::nameOf(Request request)
{
    switch (request) {
    case Request::VersionList:
        return u"version list request"_s;
    case Request::News:
        return u"news request"_s;
    case Request::Banner:
        return u"banner request"_s;
    case Request::Malformed:
        break;
    }
    return u"malformed request"_s;
}

QByteArray UpdateServer::replyTo(Request request) const
{
    switch (request) {
    case Request::VersionList:
        return config.versionListReply();
    case Request::News:
        return config.newsReply();
    case Request::Banner:
        return config.bannerReply();
    case Request::Malformed:
        break;
    }
    return {};
}
