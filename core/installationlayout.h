#pragma once

#include <QString>
#include <QStringList>

// Where the files of an installation lie: the client's own below the application root, and what
// the updater keeps beside them. The one place that knows the backup prefix, the updater's own
// files and the client's start script.
class InstallationLayout
{
public:
    InstallationLayout() = default;
    explicit InstallationLayout(QString root)
        : rootPath(std::move(root))
    {}
    // The installation this program updates (AppRoot).
    [[nodiscard]] static InstallationLayout ofThisProgram();

    [[nodiscard]] const QString& root() const { return rootPath; }
    // relativePath ("update.ini", "lib/libvoice.so") joined under the root.
    [[nodiscard]] QString filePath(const QString& relativePath) const
    {
        return rootPath + u'/' + relativePath;
    }

    // "_old_": the backup of a replaced file lies beside it under this prefix.
    [[nodiscard]] static const QString& backupPrefix();
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
