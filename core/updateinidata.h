#pragma once

#include "installationlayout.h"

#include <QString>

// The record of the running update session: group "current" of "update.ini", so that an
// interrupted run can be resumed and an abandoned one cleaned up.
class UpdateIniData
{
public:
    UpdateIniData() = delete;

    // The installation's "update.ini", which holds the record.
    [[nodiscard]] static QString filename(const InstallationLayout& installation);
    // True and the given outputs filled when a valid record exists; outputs untouched otherwise.
    [[nodiscard]] static bool get(const InstallationLayout& installation, int* version = nullptr,
                                  QString* type = nullptr, QString* dir = nullptr);
    // False when the record did not reach the file: a killed run could then not be found.
    // journal names the replacement journal of the session, for whoever looks into the file.
    static bool modify(const InstallationLayout& installation, int version, const QString& dir,
                       const QString& type, const QString& journal = {});
    static void cleanup(const InstallationLayout& installation);
};
