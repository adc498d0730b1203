#pragma once

#include <QHash>
#include <QHostAddress>

#include <chrono>

// Counts the replies to each client address in fixed windows of time. A forged request costs its
// sender two bytes and makes the server send up to four kilobytes to the forged address; the
// limit bounds what the server can be made to send to any one address.
class UpdateServerRateLimiter
{
public:
    // maxReplies per address and window; 0 allows everything.
    explicit UpdateServerRateLimiter(int maxReplies,
                                     std::chrono::milliseconds window = std::chrono::minutes(1));

    // Whether a reply to address may be sent at the time now (of any steady clock); counts it.
    [[nodiscard]] bool allow(const QHostAddress& address, std::chrono::milliseconds now);

private:
    struct Window
    {
        std::chrono::milliseconds start;
        int replies = 0;
    };

    void forgetExpired(std::chrono::milliseconds now);

    int maxReplies;
    std::chrono::milliseconds window;
    QHash<QHostAddress, Window> windows;
};
