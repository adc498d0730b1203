#pragma once

#include "banner.h"

// What the tests read of a banner query's state; not part of its interface.
struct BannerPrivateAccess
{
    [[nodiscard]] static bool resendPending(const Banner& banner)
    {
        return banner.resendTimer.isActive();
    }
};
