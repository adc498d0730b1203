#pragma once

#include <QString>

// The rules a name of a release must follow for every updater to handle it as it is named. Each
// check returns why a name breaks a rule, or an empty text when it does not.
class ReleaseToolNames
{
public:
    // What the updater demands of every name relative to the application root, the temporary
    // directory or a mirror directory; it rejects the whole product ini otherwise.
    [[nodiscard]] static QString pathProblem(const QString& path);
    // A file that is installed under this name; none of the names the updater keeps for itself.
    [[nodiscard]] static QString installedNameProblem(const QString& path);
    // A section or key, which the updater also puts into a download address.
    [[nodiscard]] static QString mirrorNameProblem(const QString& path);
    // The unpacked name of a compressed file, which is a field of a "::"-separated value.
    [[nodiscard]] static QString unpackedNameProblem(const QString& path);
    [[nodiscard]] static QString clientTypeProblem(const QString& clientType);

    // The name as it can be shown in a message: quoted, control characters replaced.
    [[nodiscard]] static QString display(const QString& path);
};
