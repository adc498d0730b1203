#pragma once

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "installationlayout.h"
#include "sessionlayout.h"

#include <QFileDevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Installs one downloaded file into the application root. The installed version first gets its
// "_old_" backup in the same directory without losing its name (a hard link, or a copy), then the
// new file is moved, copied or unpacked (and checked) into place, taking the name in one rename;
// so the installed path holds the old bytes or the new ones at every moment. What it will do is
// decided before it starts (its Plan), so that the replacement journal can name every change
// first; undoing is the journal's. On success the backup name is put on the delete list (except
// for the updater's own files, which are in use and are removed at the next start).
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // Kept for every file of a release while the stage runs: paths relative to the application
    // root and the session directory only, which share their text with the record's.
    struct Plan
    {
        QString installed; // relative to the application root
        // The file in the session directory that is moved into place, which an undo gives back:
        // the download, or what a patch made of it; empty when the file is unpacked from the
        // download.
        QString movedDownload;
        bool replacing = false; // something is installed under the name
        // The updater's own files, which are replaced last.
        bool special = false;
    };

    // What replacing record from the session will change, as things are now.
    // A packed file that a patch made lies there unpacked already: whatever lies under that name
    // has been checked in this run, by the list stage or by the patch's apply.
    [[nodiscard]] static Plan planFor(const FileReplaceSpecification& record,
                                      const SessionLayout& session,
                                      const InstallationLayout& installation);

    // Installs from the session into installation.
    FileReplaceTaskSpecification(const FileReplaceSpecification& record, Plan plan,
                                 SessionLayout session, InstallationLayout installation,
                                 QObject* parent, double parentProgressRange);

    void execute() override;
    void reset() override;

    // Programs and libraries by file name and by complete suffix (all after the first ".").
    [[nodiscard]] static const QStringList& executableFiles();
    [[nodiscard]] static const QStringList& executableSuffixes();
    // The mode of an installed file: 0755 for a program or library, which the release manifest
    // records or the name or complete suffix listed above shows, else 0644 when the manifest
    // records it plain; nothing for other files, which keep the mode they were made with.
    [[nodiscard]] static std::optional<QFileDevice::Permissions>
    installedMode(const QString& path, FileMode recorded = FileMode::Unrecorded);
    [[nodiscard]] static QFileDevice::Permissions executableMode();
    [[nodiscard]] static QFileDevice::Permissions plainMode();
    // Gives the file at path its installed mode, if it has one.
    static void makeSingleFileExecutable(const QString& path);

private:
    void makeSubtasksAndStart();

    const FileReplaceSpecification replaceSpec;
    const Plan plan;
    const SessionLayout session;
    const InstallationLayout installation;
};
