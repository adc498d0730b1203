#pragma once

#include "installationlayout.h"

#include <QString>

#include <functional>

// The session directories of update runs (sonavelle_temp_<n> below the system temporary
// directory) and their record in "update.ini": which one an interrupted run left for the next run
// of the same version and client type to continue, and their removal. The record lives in a
// settings file that anything could have edited, so only a real directory of this user named like
// a session directory is ever reused or emptied.
class UpdateSessions
{
public:
    UpdateSessions() = delete;

    using LogLine = std::function<void(const QString& line)>;

    // The record is that of installation's "update.ini" throughout.
    // The directory of an interrupted run for version and clientType, or empty; the session of
    // anything else is removed (and told in log).
    [[nodiscard]] static QString previous(const InstallationLayout& installation, int version,
                                          const QString& clientType, const LogLine& log);
    // The directory the session record names, if it is one; empty otherwise.
    [[nodiscard]] static QString recorded(const InstallationLayout& installation);
    // Removes the recorded session after a successful run and drops the record.
    static void removeRecorded(const InstallationLayout& installation, const LogLine& log);
    // Empties and removes a session directory and drops the record; true when it is gone.
    static bool remove(const InstallationLayout& installation, const QString& directory);

    [[nodiscard]] static bool isSessionDirectory(const QString& path);
    // Removes everything below path; symbolic links are neither followed nor deleted.
    static void emptyDirectory(const QString& path);
    // Removes the empty directory path; true when it is gone.
    static bool removeDirectory(const QString& path);
};
