#pragma once

#include "installationlayout.h"

#include <QString>

// The installation's place in staged rollouts: a number from 0 to 9999, drawn from the system's
// random source on the first run and kept in "update.ini" (group "rollout"), so that a widened
// rollout never takes an installation back out. It never leaves the machine.
class RolloutBucket
{
public:
    RolloutBucket() = delete;

    // The kept bucket; one is drawn and kept first where none is, or the kept one is out of
    // range. When keeping fails, written says so and the drawn one serves this run.
    [[nodiscard]] static int read(const InstallationLayout& installation, bool* written = nullptr);
};
