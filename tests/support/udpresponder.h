#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <mutex>
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
    [[nodiscard]] QList<QByteArray> requests() const;

private:
    void serve();

    int fd = -1;
    quint16 boundPort = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    QList<Reply> scriptedReplies;
    QList<QByteArray> receivedRequests;
    std::thread thread;
};
