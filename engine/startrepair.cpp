// The repair of a killed run, and the backups of a self-update, at every start.
#include "startrepair.h"

#include "installationlayout.h"
#include "replacejournal.h"
#include "updatesessions.h"

#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

// The journal of a killed run: in the application root, or where older updaters kept it. Found in
// the application root alone: the session directory may have gone with a reboot.
ReplaceJournal killedRunJournal(const InstallationLayout& installation,
                                const QString& sessionDirectory)
{
    const ReplaceJournal journal(installation, sessionDirectory);
    if (journal.exists() || sessionDirectory.isEmpty())
        return journal;
    return ReplaceJournal::keptInSession(installation, sessionDirectory);
}

} // namespace

bool StartRepair::repairKilledRun(const InstallationLayout& installation, const LogLine& log,
                                  QString& error)
{
    const QString directory = UpdateSessions::recorded(installation);
    ReplaceJournal journal = killedRunJournal(installation, directory);
    if (!journal.exists())
        return true;
    const bool committed = journal.isCommitted();
    // The client has run long enough to start the updater again.
    if (const auto probation = journal.probation())
        log(u"Version %1 has started since it was installed: its probation ends"_s.arg(
                probation->installed.version));
    else
        log(committed ? u"Finishing the update that was interrupted, recorded in %1"_s.arg(
                                journal.path())
                      : u"Undoing the update that was interrupted, recorded in %1"_s.arg(
                                journal.path()));
    if (!journal.repair(log)) {
        error = journal.errorString();
        return false;
    }
    // A committed run had installed every file: its session is done with.
    if (committed && !directory.isEmpty())
        UpdateSessions::remove(installation, directory);
    return true;
}

void StartRepair::removeOldFiles(const InstallationLayout& installation, const QString& path)
{
    // Such a backup may be the only copy of a file that a failed repair still has to put back.
    QStringList named;
    const ReplaceJournal journal =
            killedRunJournal(installation, UpdateSessions::recorded(installation));
    for (const QString& installed : journal.backups())
        named.append(QFileInfo(installation.filePath(installed)).absoluteFilePath());
    const InstallationLayout directory(path);
    for (const QString& name : InstallationLayout::ownFileNames()) {
        if (!named.contains(QFileInfo(directory.filePath(name)).absoluteFilePath()))
            QFile::remove(directory.filePath(InstallationLayout::backupPrefix() + name));
    }
}
