#pragma once

#include "bannerquery.h"

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

class QHostInfo;
class QNetworkDatagram;
class QUdpSocket;

// The host of the banner service: the same host as the update server of this build.
extern const QString BANNER_SERVER;

// Asks the banner service over UDP which banner image to show and which address a click on it
// opens. The request is the two bytes 0x01 0x01, sent once more when no reply came in time; the
// reply is the text "<image address>,<click address>", taken only from the server asked. Every
// failure is silent: no banner.
class Banner : public BannerQuery
{
    Q_OBJECT
    friend struct BannerPrivateAccess; // what the tests read; see the _p.h header

public:
    enum class State { Idle, Resolving, WaitingForReply, WaitingAfterResend, Done };
    Q_ENUM(State)

    static constexpr quint16 defaultPort = 2009;
    static constexpr std::chrono::milliseconds defaultResendInterval{5000};
    static constexpr qint64 maxReplySize = 1024;

    explicit Banner(QObject* parent = nullptr, QString host = BANNER_SERVER,
                    quint16 port = defaultPort,
                    std::chrono::milliseconds resendInterval = defaultResendInterval);

    // Looks the host up and asks it; the answer comes as bannerFound.
    void run() override;

    // The two addresses of a reply; nothing unless it splits into exactly two at its commas.
    struct Reply
    {
        QString imageUrl;
        QString clickUrl;
    };
    [[nodiscard]] static std::optional<Reply> parseReply(const QByteArray& datagram);

    [[nodiscard]] State state() const { return exchangeState; }

protected:
    void timerEvent(QTimerEvent* event) override;

private slots:
    void onResolved(const QHostInfo& hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    void sendRequest();
    void giveUp();
    [[nodiscard]] bool isFromServer(const QNetworkDatagram& datagram) const;
    void takeReply(const QByteArray& datagram);

    QUdpSocket* socket;
    QBasicTimer resendTimer;
    QHostAddress serverAddress;
    int resendCount = 0;

    QString host;
    quint16 port;
    std::chrono::milliseconds resendInterval;
    State exchangeState = State::Idle;
};
