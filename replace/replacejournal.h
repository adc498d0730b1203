#pragma once

#include "installationlayout.h"
#include "installedrelease.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>

// The one record of what a replacement changes in the application root, kept in the root itself
// (".update.journal") so that it outlives the process, a reboot that empties the temporary
// directory, and a power cut. It is written ahead: the records of a batch of changes are appended
// and brought to the disk (sync()) before the first of those changes is made. Before an installed
// file gets its backup, before a new file, a new directory or a part file appears, before a stale
// backup is deleted, a record says so; once every file is in place and on the disk, a commit
// record lists what is left to delete. Undoing a failed run and repairing a killed one are the
// same repair: before the commit it undoes everything to exactly the old version, after it it
// finishes the deletions and records the release the run installed in "update.ini".
//
// A commit may put the new version on probation: the backups of the replaced files and the files
// the run deleted (under their backup names) stay, with the journal, until the new client has
// started well. Then, or at the next start of an updater, the repair ends the probation as any
// commit ends. A start that failed records that it goes back, and from then on the repair puts
// the installation back to exactly the version before: backups under their names again, new files
// and directories gone, the previous release recorded.
//
// The file is only ever appended to. Every record ends in a checksum and every append starts on
// a new line, so that a record cut short (by a kill or a full disk) is ignored, also when later
// records follow it. Paths are relative to the application root, downloads relative to the
// session directory. GUI thread only, except the commit, which its body writes alone.
class ReplaceJournal
{
    friend struct ReplaceJournalPrivateAccess; // what the tests change; see the _p.h header

public:
    using LogLine = std::function<void(const QString& line)>;

    // The journal of installation's root; a repair gives moved downloads back to
    // sessionDirectory, unless it is empty or gone.
    explicit ReplaceJournal(InstallationLayout installation, QString sessionDirectory = {});
    // The journal that updaters before this one kept in the session directory, read so that a run
    // killed by one of them is still repaired.
    [[nodiscard]] static ReplaceJournal keptInSession(InstallationLayout installation,
                                                      const QString& sessionDirectory);

    [[nodiscard]] static QString fileName();
    [[nodiscard]] const QString& path() const { return journalPath; }

    // Collect records for the next sync(). False, with errorString() set, for a record that could
    // not be read back; the change it announces must not be made then. download is the file in the
    // session directory that is installed (moved, copied or unpacked), so that an undo can give a
    // moved one back. A file's records name the part files that a copy or an unpack may leave
    // beside it and its backup too.
    [[nodiscard]] bool recordReplace(const QString& installedPath, const QString& download);
    [[nodiscard]] bool recordAdd(const QString& installedPath, const QString& download);
    [[nodiscard]] bool recordDirectories(const QStringList& directories);
    // A leftover under a backup name, deleted before the run makes its own backup there.
    [[nodiscard]] bool recordStale(const QString& path);
    // Appends the collected records in one write and brings them to the disk; only then may the
    // changes they announce be made. False, with errorString() set, when that failed, and when the
    // journal holds a commit: a run appending to it would mix with the one that committed.
    [[nodiscard]] bool sync();
    // Written once every installed file is on the disk; reaches the disk itself before it
    // returns. From then on a repair finishes the deletions instead of undoing, and records
    // installed (when it is recorded) in "update.ini": the commit and that record go together.
    [[nodiscard]] bool recordCommit(const QStringList& deletions,
                                    const InstalledRelease& installed = {});
    // The same, with the new version on probation; previous is the release it replaces and goes
    // back to, if its first start fails.
    [[nodiscard]] bool recordCommitOnProbation(const QStringList& deletions,
                                               const InstalledRelease& installed,
                                               const InstalledRelease& previous);
    // The release a commit put on probation and the one before it; empty when there is none, or
    // when the installation is already going back.
    struct Probation
    {
        InstalledRelease installed;
        InstalledRelease previous;
    };
    [[nodiscard]] std::optional<Probation> probation() const;
    // The new version did not start (reason says how): records that the installation goes back,
    // the one record a committed journal still takes, then repairs. False, with errorString()
    // set, as repair().
    [[nodiscard]] bool goBack(const QString& reason, const LogLine& log);

    [[nodiscard]] bool exists() const;
    [[nodiscard]] bool isCommitted() const;
    // The backups (by the installed path they belong to) that the journal names.
    [[nodiscard]] QStringList backups() const;

    // Undoes a run that had not committed, newest change first: originals back under their
    // names, new files and directories removed (a moved download back into the session
    // directory), part files removed. Finishes the deletions of one that had and records the
    // release it installed, also ending a probation; of one going back, puts the version before
    // back. True when nothing is left to repair: the repair is then on the disk
    // and the journal removed. Otherwise false, with errorString() set; the journal stays.
    [[nodiscard]] bool repair(const LogLine& log);
    // Removes the journal of a run that committed and has made its deletions; one that has not
    // committed stays for its repair.
    void discardCommitted() const;

    [[nodiscard]] const QString& errorString() const { return error; }

    // FileSystem::syncFileSystems, which the tests can make fail; errno says why it did.
    [[nodiscard]] static bool syncFileSystems(const QStringList& paths);

private:
    enum class Kind {
        Replace,
        Add,
        Part,
        Directory,
        Stale,
        Delete,
        Installed,
        Probation,
        GoingBack,
        Commit
    };
    struct Entry
    {
        Kind kind;
        QString path;
        QString download;
        bool legacy = false;           // written by an updater that renamed originals away
        InstalledRelease release = {}; // Installed and Probation only; GoingBack's reason is path
    };

    ReplaceJournal(InstallationLayout installation, QString journalPath, QString sessionDirectory);

    [[nodiscard]] static bool hasCommit(const QList<Entry>& records);
    // Whether a record's paths stay inside the application root and the session directory and
    // come back from the file as written.
    [[nodiscard]] static bool isReadable(const Entry& entry);
    [[nodiscard]] bool record(const Entry& entry);
    static void appendLine(QByteArray& text, const Entry& entry);
    // The fields that follow a record's tag, and the record they make.
    [[nodiscard]] static QStringList fields(const Entry& entry);
    [[nodiscard]] static Entry fromFields(Kind kind, const QStringList& fields);
    [[nodiscard]] QList<Entry> entries() const;
    [[nodiscard]] bool undo(const QList<Entry>& records, const LogLine& log) const;
    [[nodiscard]] bool commit(const QStringList& deletions, const InstalledRelease& installed,
                              const InstalledRelease& previous);
    [[nodiscard]] bool write(const QList<Entry>& records, bool created);
    [[nodiscard]] bool putBack(const QList<Entry>& records, const LogLine& log);
    [[nodiscard]] static bool carriesRelease(Kind kind);
    // The first record of kind; null when there is none.
    [[nodiscard]] static const Entry* firstOf(const QList<Entry>& records, Kind kind);
    // The backup paths of the replaced files.
    [[nodiscard]] static QStringList backupsOf(const QList<Entry>& records);
    void finishDeletions(const QList<Entry>& records, const LogLine& log) const;
    [[nodiscard]] bool recordInstalled(const QList<Entry>& records);
    // Brings the repair to the disk and removes the journal.
    [[nodiscard]] bool settle();
    [[nodiscard]] bool undoReplace(const Entry& entry, const LogLine& log) const;
    [[nodiscard]] bool undoAdd(const Entry& entry, const LogLine& log) const;
    [[nodiscard]] QString downloadPath(const Entry& entry) const;
    void discard() const;

    InstallationLayout installation;
    QString sessionDirectory;
    QString journalPath;
    QList<Entry> pending;
    QString error;

    static inline std::atomic_bool syncsFail = false; // a failing disk, for the tests
};
