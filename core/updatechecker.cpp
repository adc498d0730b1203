#include "updatechecker.h"

#include "buildconfig.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Closes the socket whatever way the exchange ends.
class SocketHandle
{
public:
    SocketHandle()
        : fd(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP))
    {}
    ~SocketHandle()
    {
        if (fd >= 0)
            ::close(fd);
    }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    [[nodiscard]] bool isValid() const { return fd >= 0; }
    [[nodiscard]] int get() const { return fd; }

private:
    int fd;
};

struct AddrInfoDeleter
{
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

[[nodiscard]] AddrInfoPtr resolve(const QString& host, quint16 port)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* result = nullptr;
    const QByteArray service = QByteArray::number(port);
    if (::getaddrinfo(host.toUtf8().constData(), service.constData(), &hints, &result) != 0)
        return nullptr;
    return AddrInfoPtr(result);
}

// Only the server can answer: a connected socket has the kernel drop datagrams from any other
// address or port, so nobody else on the network can choose the version.
[[nodiscard]] bool connectTo(const SocketHandle& socket, const addrinfo& server)
{
    return ::connect(socket.get(), server.ai_addr, server.ai_addrlen) == 0;
}

// The requests are a single character followed by a zero byte.
[[nodiscard]] bool sendRequest(const SocketHandle& socket, char request)
{
    const std::array<char, 2> datagram{request, '\0'};
    return ::send(socket.get(), datagram.data(), datagram.size(), 0) > 0;
}

[[nodiscard]] bool setReceiveTimeout(const SocketHandle& socket, std::chrono::microseconds timeout)
{
    // A zero time-out would wait for ever.
    timeout = std::max(timeout, std::chrono::microseconds(1));
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
    return ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

// Receives one datagram of at most bufferSize bytes within the time-out; the text ends at the
// first zero byte.
template<int bufferSize>
[[nodiscard]] bool receiveText(const SocketHandle& socket, std::chrono::milliseconds timeout,
                               QString& text)
{
    const QDeadlineTimer deadline(timeout, Qt::PreciseTimer);
    std::array<char, bufferSize> buffer{};
    while (!deadline.hasExpired()) {
        const auto remaining =
                std::chrono::ceil<std::chrono::microseconds>(deadline.remainingTimeAsDuration());
        if (!setReceiveTimeout(socket, remaining))
            return false;
        const ssize_t received = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (received >= 0) {
            const auto length = static_cast<qsizetype>(::strnlen(buffer.data(), size_t(received)));
            text = QString::fromLatin1(buffer.data(), length);
            return true;
        }
        // A connected socket reports an ICMP "port unreachable" (which anybody can forge) as a
        // refusal; like a signal, it does not end the wait for the reply.
        if (errno != ECONNREFUSED && errno != EINTR)
            return false;
    }
    return false;
}

} // namespace

QString UpdateChecker::defaultHost()
{
    return QString::fromLatin1(BuildConfig::updateHost);
}

UpdateChecker::UpdateChecker(QString host, quint16 port, std::chrono::milliseconds receiveTimeout)
    : host(std::move(host))
    , port(port)
    , receiveTimeout(receiveTimeout)
{}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

bool UpdateChecker::readFromServer()
{
    const SocketHandle socket;
    if (!socket.isValid())
        return false;
    const AddrInfoPtr server = resolve(host, port);
    if (!server || !connectTo(socket, *server))
        return false;

    if (!sendRequest(socket, '3'))
        return false;
    QString versionList;
    if (!receiveText<versionReplySize>(socket, receiveTimeout, versionList))
        return false;
    versions.append(parseVersionList(versionList));

    if (!sendRequest(socket, '*'))
        return false;
    QString newsText;
    if (!receiveText<newsReplySize>(socket, receiveTimeout, newsText))
        return false;
    news = newsText;
    return true;
}

QList<UpdateChecker::VersionEntry> UpdateChecker::parseVersionList(const QString& reply)
{
    QList<VersionEntry> entries;
    const QStringList parts = reply.split(u',', Qt::KeepEmptyParts);
    for (const QString& part : parts) {
        const qsizetype hash = part.indexOf(u'#');
        if (hash < 0)
            entries.append({part, QString()});
        else
            entries.append({part.left(hash), part.mid(hash + 1)});
    }
    return entries;
}

UpdateChecker::VersionEntry UpdateChecker::getClientVersionByChannel(UpdateChannel channel) const
{
    const auto index = static_cast<qsizetype>(channel);
    if (index < 0 || index >= versions.size())
        return {};
    return versions.at(index);
}
