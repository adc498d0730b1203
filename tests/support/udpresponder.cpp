#include "udpresponder.h"

#include <arpa/inet.h>
#include <array>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

UdpResponder::UdpResponder(quint16 port)
{
    fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        fd = -1;
        return;
    }
    boundPort = ntohs(address.sin_port);
    forgerFd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    thread = std::thread([this] { serve(); });
}

UdpResponder::~UdpResponder()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
    if (fd >= 0)
        ::close(fd);
    if (forgerFd >= 0)
        ::close(forgerFd);
}

void UdpResponder::setReplies(QList<Reply> replies)
{
    const std::lock_guard lock(mutex);
    scriptedReplies = std::move(replies);
}

void UdpResponder::setForgedReplies(QList<Reply> replies)
{
    const std::lock_guard lock(mutex);
    forgedReplies = std::move(replies);
}

void UdpResponder::forge(const QByteArray& reply, const sockaddr_in& peer) const
{
    if (forgerFd >= 0)
        ::sendto(forgerFd, reply.constData(), size_t(reply.size()), 0,
                 reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

QList<QByteArray> UdpResponder::requests() const
{
    const std::lock_guard lock(mutex);
    return receivedRequests;
}

void UdpResponder::serve()
{
    std::array<char, 65536> buffer{};
    while (!stopping) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0)
            continue;
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const ssize_t received = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                            reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (received < 0)
            continue;
        Reply reply;
        Reply forged;
        {
            const std::lock_guard lock(mutex);
            receivedRequests.append(QByteArray(buffer.data(), received));
            if (!scriptedReplies.isEmpty())
                reply = scriptedReplies.takeFirst();
            if (!forgedReplies.isEmpty())
                forged = forgedReplies.takeFirst();
        }
        if (forged)
            forge(*forged, peer);
        if (reply)
            ::sendto(fd, reply->constData(), size_t(reply->size()), 0,
                     reinterpret_cast<sockaddr*>(&peer), peerLength);
    }
}
