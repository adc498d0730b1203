#pragma once

// The update channel; its value is also the index into the update server's version list.
enum class UpdateChannel : int {
    Stable = 0,
    Beta = 1,
    Alpha = 2,
};
