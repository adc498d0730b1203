#pragma once

#include <QString>

// The update channel; its value is also the index into the update server's version list.
enum class UpdateChannel : int {
    Stable = 0,
    Beta = 1,
    Alpha = 2,
};

inline constexpr int updateChannelCount = 3;

// "stable", "beta" or "alpha": the channel's name in "update.ini", channel statements and the
// update server's configuration.
[[nodiscard]] inline QString updateChannelName(UpdateChannel channel)
{
    switch (channel) {
    case UpdateChannel::Beta:
        return QStringLiteral("beta");
    case UpdateChannel::Alpha:
        return QStringLiteral("alpha");
    case UpdateChannel::Stable:
        break;
    }
    return QStringLiteral("stable");
}
