#include "banner.h"

#include "updatechecker.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QTimerEvent>
#include <QUdpSocket>

#include <algorithm>

const QString BANNER_SERVER = UpdateChecker::defaultHost();

namespace {

const QByteArray bannerRequest("\x01\x01", 2);

} // namespace

Banner::Banner(QObject* parent, QString host, quint16 port,
               std::chrono::milliseconds resendInterval)
    : BannerQuery(parent)
    , socket(new QUdpSocket(this))
    , host(std::move(host))
    , port(port)
    , resendInterval(resendInterval)
{
    socket->bind(QHostAddress::AnyIPv4, 0);
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    exchangeState = State::Resolving;
    QHostInfo::lookupHost(host, this, &Banner::onResolved);
}

void Banner::onResolved(const QHostInfo& hostInfo)
{
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty()) {
        giveUp();
        return;
    }
    serverAddress.clear();
    const QList<QHostAddress> addresses = hostInfo.addresses();
    const auto ipv4 = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress& a) {
        return a.protocol() == QAbstractSocket::IPv4Protocol;
    });
    if (ipv4 == addresses.end()) {
        giveUp();
        return;
    }
    serverAddress = *ipv4;
    exchangeState = State::WaitingForReply;
    sendRequest();
}

void Banner::sendRequest()
{
    if (socket->writeDatagram(bannerRequest, serverAddress, port) == -1) {
        giveUp();
        return;
    }
    resendTimer.start(int(resendInterval.count()), Qt::PreciseTimer, this);
}

void Banner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != resendTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (resendCount++ <= 0) {
        exchangeState = State::WaitingAfterResend;
        sendRequest();
    } else {
        giveUp();
    }
}

void Banner::onError(QAbstractSocket::SocketError /*socketError*/)
{
    giveUp();
}

void Banner::onReadyRead()
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(maxReplySize);
        if (!datagram.isValid()) {
            giveUp();
            return;
        }
        if (!isFromServer(datagram))
            continue;
        resendTimer.stop();
        exchangeState = State::Done;
        takeReply(datagram.data());
        return;
    }
}

// Anybody can send to our port; what does not come from the server asked is dropped unseen, and
// the wait for the server's answer goes on.
bool Banner::isFromServer(const QNetworkDatagram& datagram) const
{
    return datagram.senderPort() == port &&
           datagram.senderAddress().isEqual(serverAddress, QHostAddress::ConvertV4MappedToIPv4);
}

void Banner::takeReply(const QByteArray& datagram)
{
    const std::optional<Reply> reply = parseReply(datagram);
    if (!reply)
        return;
    // One banner per run: later datagrams, answers to the resend or not, are not read.
    socket->close();
    emit bannerFound(reply->imageUrl, reply->clickUrl);
}

std::optional<Banner::Reply> Banner::parseReply(const QByteArray& datagram)
{
    // Each byte one character; exactly "<image address>,<click address>", nothing trimmed.
    const QStringList parts = QString::fromLatin1(datagram).split(u',');
    if (parts.size() != 2)
        return std::nullopt;
    return Reply{parts.at(0), parts.at(1)};
}

void Banner::giveUp()
{
    resendTimer.stop();
    exchangeState = State::Done;
}
