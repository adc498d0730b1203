#pragma once

#include <QString>

class InstallationLayout;

// The version that failed its first start here and was replaced by the one before, recorded in
// "update.ini" (group "refused"): a later run does not install it again by itself, and the next
// window says once what happened.
struct RefusedVersion
{
    int version = 0;   // 0: none was refused
    int previous = 0;  // the version put back
    QString reason;    // how the start failed, for the log
    bool told = false; // the window has said so

    [[nodiscard]] bool isRecorded() const { return version > 0; }

    [[nodiscard]] static RefusedVersion read(const InstallationLayout& installation);
    // False when the record did not reach the file.
    [[nodiscard]] bool write(const InstallationLayout& installation) const;
};
