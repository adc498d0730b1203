#pragma once

// The question put to the user when the update server did not answer the version query.
class VersionQueryBox
{
public:
    VersionQueryBox() = delete;

    // A critical "Error" box with Retry and Abort; true for Retry.
    [[nodiscard]] static bool askRetry();
};
