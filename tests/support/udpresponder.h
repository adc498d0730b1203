#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <thread>

// A scripted UDP peer on a loopback port (an ephemeral one unless a port is given), answering from
// its own thread so that a blocking client on the test's thread can talk to it. Each request
// received takes the next scripted reply; std::nullopt (or an exhausted script) means: stay silent.
class UdpResponder
{
public:
    using Reply = std::optional<QByteArray>;

    explicit UdpResponder(quint16 port = 0);
    ~UdpResponder();
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    [[nodiscard]] bool isListening() const { return fd >= 0; }
    [[nodiscard]] quint16 port() const { return boundPort; }

    void setReplies(QList<Reply> replies);
    // A stranger who sees the requests: for each request, before the scripted reply, the next of
    // these goes to the requester from another local port.
    void setForgedReplies(QList<Reply> replies);
    [[nodiscard]] QList<QByteArray> requests() const;

private:
    void serve();
    void forge(const QByteArray& reply, const sockaddr_in& peer) const;

    int fd = -1;
    int forgerFd = -1;
    QList<Reply> forgedReplies;
    quint16 boundPort = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    QList<Reply> scriptedReplies;
    QList<QByteArray> receivedRequests;
    std::thread thread;
};
