#pragma once

#include "newsbanner.h"

// What the tests read of a news banner's state; not part of its interface.
struct NewsBannerPrivateAccess
{
    [[nodiscard]] static const QString& clickUrl(const NewsBanner& banner)
    {
        return banner.clickUrl;
    }
    [[nodiscard]] static qreal scrollPosition(const NewsBanner& banner) { return banner.position; }
    [[nodiscard]] static QSize textSize(const NewsBanner& banner)
    {
        return {banner.textWidth, banner.textHeight};
    }
    [[nodiscard]] static bool isPaused(const NewsBanner& banner) { return banner.paused; }
    [[nodiscard]] static bool isScrolling(const NewsBanner& banner)
    {
        return banner.scrollTimer.isActive();
    }
    // The period the timer runs with now: the scroll interval, or the pause while blank.
    [[nodiscard]] static std::chrono::milliseconds currentInterval(const NewsBanner& banner)
    {
        return banner.timerInterval;
    }
    // The timer whose events move the text.
    [[nodiscard]] static int scrollTimerId(const NewsBanner& banner)
    {
        return banner.scrollTimer.timerId();
    }
};
