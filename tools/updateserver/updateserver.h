#pragma once

#include "updateserverconfig.h"
#include "updateserverratelimiter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkDatagram;
class QUdpSocket;
class UpdateServerChannels;

// Answers the updater's version query ("3" and "*", each followed by a zero byte) and, when a
// banner is configured, its banner request (0x01 0x01) over UDP. It sends nothing but replies;
// other datagrams are ignored. Each datagram is reported as one message line, but only the first
// refusal to an address in its minute, and no more than a number of lines each second: the rest
// are counted in one line. With a channel statement, the versions follow it.
class UpdateServer : public QObject
{
    Q_OBJECT

public:
    explicit UpdateServer(const UpdateServerConfig& config, QObject* parent = nullptr);

    // Binds the ports and reads the channel statement; reports where it listens through message.
    [[nodiscard]] bool listen();
    [[nodiscard]] const QString& errorString() const { return error; }

signals:
    void message(QString line);

private slots:
    void onVersionRequests();
    void onBannerRequests();

private:
    enum class Request { VersionList, News, Banner, Malformed };

    [[nodiscard]] bool listenForBanners();
    [[nodiscard]] bool bind(QUdpSocket* socket, quint16 port, const QString& service);
    void answer(QUdpSocket* socket, const QNetworkDatagram& datagram, Request request);
    [[nodiscard]] QByteArray replyTo(Request request) const;
    [[nodiscard]] static QString nameOf(Request request);
    [[nodiscard]] std::chrono::milliseconds now() const;
    // A line about a datagram, if the log budget allows it.
    void report(const QString& line);
    void reportLeftOut();
    void awaitEndOfLeftOut();

    UpdateServerConfig config;
    QUdpSocket* versionSocket;
    QUdpSocket* bannerSocket = nullptr;
    UpdateServerChannels* channels = nullptr;
    UpdateServerRateLimiter limiter;
    UpdateServerLogBudget logBudget;
    QTimer leftOutTimer;
    QElapsedTimer clock;
    QString error;
};
