#pragma once

#include <QString>

// The record of the running update session: group "current" of "update.ini", so that an
// interrupted run can be resumed and an abandoned one cleaned up.
class UpdateIniData
{
public:
    UpdateIniData() = delete;

    [[nodiscard]] static QString filename();
    // True and the given outputs filled when a valid record exists; outputs untouched otherwise.
    [[nodiscard]] static bool get(int* version = nullptr, QString* type = nullptr,
                                  QString* dir = nullptr);
    // False when the record did not reach the file: a killed run could then not be found.
    // journal names the replacement journal of the session, for whoever looks into the file.
    static bool modify(int version, const QString& dir, const QString& type,
                       const QString& journal = {});
    static void cleanup();
};
