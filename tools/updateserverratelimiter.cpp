#include "updateserverratelimiter.h"

namespace {

// Above this many addresses the expired windows are dropped, so that requests from ever new
// addresses cannot make the table grow without end.
constexpr qsizetype tidyThreshold = 4096;

} // namespace

UpdateServerRateLimiter::UpdateServerRateLimiter(int maxReplies, std::chrono::milliseconds window)
    : maxReplies(maxReplies)
    , window(window)
{}

bool UpdateServerRateLimiter::allow(const QHostAddress& address, std::chrono::milliseconds now)
{
    if (maxReplies <= 0)
        return true;
    if (windows.size() >= tidyThreshold)
        forgetExpired(now);
    auto it = windows.find(address);
    if (it == windows.end() || now - it->start >= window)
        it = windows.insert(address, Window{now, 0});
    if (it->replies >= maxReplies)
        return false;
    ++it->replies;
    return true;
}

void UpdateServerRateLimiter::forgetExpired(std::chrono::milliseconds now)
{
    windows.removeIf([this, now](const auto& item) { return now - item.value().start >= window; });
}
