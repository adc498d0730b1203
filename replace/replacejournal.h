#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// What a replacement is about to do, kept in the session directory so that it outlives the
// process. Before an installed file gets its backup, before a new file, a new directory or a
// part file appears, a record says so; once every file is in place and on the disk, a commit
// record lists what is left to delete. The next start repairs from it: a run killed before its
// commit is undone to exactly the old version, one killed after it has its deletions finished.
//
// The file is only ever appended to. Every record ends in a checksum and every append starts on
// a new line, so that a record cut short (by a kill or a full disk) is ignored, also when later
// records follow it. Paths are relative to the application root, downloads relative to the
// session directory. GUI thread only, except the commit, which its body writes alone.
class ReplaceJournal
{
public:
    using LogLine = std::function<void(const QString& line)>;

    explicit ReplaceJournal(QString sessionDirectory);

    [[nodiscard]] static QString fileName();

    // False, with errorString() set, when the record could not be written; the change it
    // announces must not be made then. download is the file in the session directory that is
    // installed (moved, copied or unpacked), so that an undo can give a moved one back.
    [[nodiscard]] bool recordReplace(const QString& installedPath, const QString& download,
                                     const QStringList& partPaths);
    [[nodiscard]] bool recordAdd(const QString& installedPath, const QString& download,
                                 const QStringList& partPaths);
    [[nodiscard]] bool recordDirectories(const QStringList& directories);
    // Written once every installed file is on the disk; reaches the disk itself before it
    // returns. From then on a repair finishes the deletions instead of undoing.
    [[nodiscard]] bool recordCommit(const QStringList& deletions);

    [[nodiscard]] bool exists() const;
    [[nodiscard]] bool isCommitted() const;
    // The backups (by the installed path they belong to) that the journal names.
    [[nodiscard]] QStringList backups() const;

    // Undoes a run that had not committed, newest change first: originals back under their
    // names, new files and directories removed (a moved download back into the session
    // directory), part files removed. Finishes the deletions of one that had. True when nothing
    // is left to repair; the journal is removed then.
    [[nodiscard]] bool repair(const LogLine& log) const;

    [[nodiscard]] const QString& errorString() const { return error; }

private:
    enum class Kind { Replace, Add, Part, Directory, Delete, Commit };
    struct Entry
    {
        Kind kind;
        QString path;
        QString download;
        bool legacy = false; // written by an updater that renamed originals away
    };

    [[nodiscard]] static bool hasCommit(const QList<Entry>& records);
    // Whether a record's paths stay inside the application root and the session directory and
    // come back from the file as written.
    [[nodiscard]] static bool isReadable(const Entry& entry);
    [[nodiscard]] bool recordFile(Kind kind, const QString& installedPath, const QString& download,
                                  const QStringList& partPaths);
    [[nodiscard]] bool writeRecords(const QList<Entry>& records, bool durable = false);
    [[nodiscard]] QList<Entry> entries() const;
    [[nodiscard]] bool undo(const QList<Entry>& records, const LogLine& log) const;
    void finishDeletions(const QList<Entry>& records, const LogLine& log) const;
    [[nodiscard]] bool undoReplace(const Entry& entry, const LogLine& log) const;
    [[nodiscard]] bool undoAdd(const Entry& entry, const LogLine& log) const;
    [[nodiscard]] QString downloadPath(const Entry& entry) const;
    void discard() const;

    QString sessionDirectory;
    QString journalPath;
    QString error;
};
