#pragma once

#include <QHash>
#include <QHostAddress>

#include <chrono>
#include <deque>

// Counts the replies to each client address in fixed windows of time. A forged request costs its
// sender two bytes and makes the server send up to four kilobytes to the forged address; the
// limit bounds what the server can be made to send to any one address.
//
// Forged requests may come from ever new addresses: each costs the same whatever the table
// holds. Windows end in the order they began, so the oldest is dropped first from a queue when it
// is over, or when the table is full.
class UpdateServerRateLimiter
{
public:
    enum class Verdict {
        Allowed,
        Refused,      // the first refusal to the address in its window
        RefusedAgain, // the ones after it, not worth a line each
    };

    // Room for this many addresses at once: a few megabytes. An address dropped from a full
    // table starts a new window, so a forged flood gets at most maxReplies to any one address
    // for every this many others.
    static constexpr qsizetype defaultMaxAddresses = 65536;

    // maxReplies per address and window; 0 allows everything.
    explicit UpdateServerRateLimiter(int maxReplies,
                                     std::chrono::milliseconds window = std::chrono::minutes(1),
                                     qsizetype maxAddresses = defaultMaxAddresses);

    // Whether a reply to address may be sent at the time now (of any steady clock); counts it.
    [[nodiscard]] Verdict allow(const QHostAddress& address, std::chrono::milliseconds now);
    [[nodiscard]] qsizetype addressCount() const { return windows.size(); }

private:
    struct Window
    {
        std::chrono::milliseconds start;
        int replies = 0;
        bool refusalReported = false;
    };

    void forgetExpired(std::chrono::milliseconds now);
    void forgetOldest();

    int maxReplies;
    std::chrono::milliseconds window;
    qsizetype maxAddresses;
    QHash<QHostAddress, Window> windows;
    // The addresses of the windows, oldest first: one entry for each window.
    std::deque<QHostAddress> started;
};

// Bounds what a flood of datagrams can write to the log: at most maxLines lines in each interval.
// The lines beyond are counted, and the count is handed out once the interval is over.
class UpdateServerLogBudget
{
public:
    static constexpr int defaultMaxLines = 100;

    explicit UpdateServerLogBudget(int maxLines = defaultMaxLines,
                                   std::chrono::milliseconds interval = std::chrono::seconds(1));

    // Whether a line may be written at the time now; one that may not is counted.
    [[nodiscard]] bool allow(std::chrono::milliseconds now);
    // The lines left out in the intervals that are over at now, once; 0 when there were none.
    [[nodiscard]] qint64 takeLeftOut(std::chrono::milliseconds now);
    // Lines are left out in the current interval, which ends at intervalEnd().
    [[nodiscard]] bool leavesOut() const { return leftOut > 0; }
    [[nodiscard]] std::chrono::milliseconds intervalEnd() const { return start + interval; }
    [[nodiscard]] int maxLinesPerInterval() const { return maxLines; }

private:
    void startIntervalIfOver(std::chrono::milliseconds now);

    int maxLines;
    std::chrono::milliseconds interval;
    std::chrono::milliseconds start;
    int lines = 0;
    qint64 leftOut = 0;
    qint64 leftOutBefore = 0;
};
