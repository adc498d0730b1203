#pragma once

#include "failure.h"

#include <QString>

// Where the files of one update session lie: the downloads, the product ini and the manifest, in
// the session directory below the system temporary directory. The one place that joins a path
// under it.
class SessionLayout
{
public:
    SessionLayout() = default;
    explicit SessionLayout(QString directory)
        : dir(std::move(directory))
    {}

    // Tried in turn below the system temporary directory: "sonavelle_temp_0", "_1", ...
    static constexpr int directoryCandidates = 1000;

    // A new session directory below the system temporary directory, readable by its owner
    // alone; a Disk failure when none can be made.
    [[nodiscard]] static Result<SessionLayout> create();

    [[nodiscard]] const QString& directory() const { return dir; }
    // relativePath ("base/update.gz", "patches/<digest>/a.so.zstpatch") below the directory.
    [[nodiscard]] QString filePath(const QString& relativePath) const
    {
        return dir + u'/' + relativePath;
    }
    // "<type>.ini" and "<type>.manifest" as the session keeps them.
    [[nodiscard]] QString productIniPath(const QString& clientType) const;
    [[nodiscard]] QString manifestPath(const QString& clientType) const;

    friend bool operator==(const SessionLayout&, const SessionLayout&) = default;

private:
    QString dir;
};
