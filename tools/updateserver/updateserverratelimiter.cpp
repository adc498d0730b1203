#include "updateserverratelimiter.h"

#include <algorithm>
#include <utility>

UpdateServerRateLimiter::UpdateServerRateLimiter(int maxReplies, std::chrono::milliseconds window,
                                                 qsizetype maxAddresses)
    : maxReplies(maxReplies)
    , window(window)
    , maxAddresses(std::max<qsizetype>(1, maxAddresses))
{}

UpdateServerRateLimiter::Verdict UpdateServerRateLimiter::allow(const QHostAddress& address,
                                                                std::chrono::milliseconds now)
{
    if (maxReplies <= 0)
        return Verdict::Allowed;
    forgetExpired(now);
    auto it = windows.find(address);
    if (it == windows.end()) {
        if (windows.size() >= maxAddresses)
            forgetOldest();
        it = windows.insert(address, Window{now});
        started.push_back(address);
    }
    if (it->replies < maxReplies) {
        ++it->replies;
        return Verdict::Allowed;
    }
    return std::exchange(it->refusalReported, true) ? Verdict::RefusedAgain : Verdict::Refused;
}

void UpdateServerRateLimiter::forgetExpired(std::chrono::milliseconds now)
{
    while (!started.empty() && now - windows.value(started.front()).start >= window)
        forgetOldest();
}

void UpdateServerRateLimiter::forgetOldest()
{
    windows.remove(started.front());
    started.pop_front();
}

UpdateServerLogBudget::UpdateServerLogBudget(int maxLines, std::chrono::milliseconds interval)
    : maxLines(maxLines)
    , interval(interval)
    // Over before the clock's start: the first line begins an interval.
    , start(-interval)
{}

bool UpdateServerLogBudget::allow(std::chrono::milliseconds now)
{
    startIntervalIfOver(now);
    if (lines < maxLines) {
        ++lines;
        return true;
    }
    ++leftOut;
    return false;
}

qint64 UpdateServerLogBudget::takeLeftOut(std::chrono::milliseconds now)
{
    startIntervalIfOver(now);
    return std::exchange(leftOutBefore, 0);
}

void UpdateServerLogBudget::startIntervalIfOver(std::chrono::milliseconds now)
{
    if (now - start < interval)
        return;
    start = now;
    lines = 0;
    leftOutBefore += std::exchange(leftOut, 0);
}
