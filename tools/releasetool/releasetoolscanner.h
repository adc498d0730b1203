#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

// One file of a client version as found on disk.
struct ReleaseToolSourceFile
{
    QString relativePath; // "/"-separated, relative to the client directory
    QString absolutePath;
    qint64 size = 0;
    bool executable = false; // the owner's execute bit is set
};

// Finds what a client version consists of: the files of a client directory, or the installed
// paths named by the product ini of an earlier release.
class ReleaseToolScanner
{
public:
    // The regular files below directory, sorted by relative path. A symbolic link to a file
    // counts as that file; anything else that is not a file or directory is refused.
    [[nodiscard]] bool scanDirectory(const QString& directory, QList<ReleaseToolSourceFile>& files);
    // The paths, relative to the application root, that a product ini installs files under.
    [[nodiscard]] bool scanProductIni(const QString& iniFile, QStringList& installedPaths);

    [[nodiscard]] const QString& errorString() const { return error; }

private:
    [[nodiscard]] bool fail(const QString& text);

    QString error;
};
