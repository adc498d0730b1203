#pragma once

#include <QString>
#include <QStringList>

// Where the files of an installation lie: the client's own below the application root, and what
// the updater keeps beside them. The one place that knows the backup prefix, the updater's own
// files, the names it keeps for itself and the client's start script.
class InstallationLayout
{
public:
    InstallationLayout() = default;
    explicit InstallationLayout(QString root)
        : rootPath(std::move(root))
    {}

    [[nodiscard]] const QString& root() const { return rootPath; }
    // relativePath ("update.ini", "lib/libvoice.so") joined under the root.
    [[nodiscard]] QString filePath(const QString& relativePath) const
    {
        return rootPath + u'/' + relativePath;
    }

    // "_old_": the backup of a replaced file lies beside it under this prefix.
    [[nodiscard]] static const QString& backupPrefix();
    // ".sonavelle_part_": a file being installed is written beside its place under this prefix.
    [[nodiscard]] static const QString& partFilePrefix();
    // ".update.lock" and ".update.journal", in the root.
    [[nodiscard]] static const QString& lockFileName();
    [[nodiscard]] static const QString& journalFileName();
    // A name from outside (the product ini, the session journal) that is joined to the root, the
    // temporary directory and a mirror's base URL must not lead out of any of them. A name
    // starting with ":" counts as absolute too: Qt would read it from the program's resources.
    [[nodiscard]] static bool isSafeRelativePath(const QString& path);
    // Why a release may not install or delete path (relative to the root): the updater writes
    // files of that name itself. Empty when it may. The prefixes count in every directory, the
    // names of the root (lock, journal, "update.ini" and its lock) only there.
    [[nodiscard]] static QString reservedNameProblem(const QString& path);
    // The updater and the libraries it loads, which a run replaces last.
    [[nodiscard]] static const QStringList& ownFileNames();
    [[nodiscard]] static bool isOwnFile(const QString& fileName)
    {
        return ownFileNames().contains(fileName, Qt::CaseSensitive);
    }
    // What starts the client, relative to the root.
    [[nodiscard]] static QString clientStartScript();

    friend bool operator==(const InstallationLayout&, const InstallationLayout&) = default;

private:
    QString rootPath;
};
