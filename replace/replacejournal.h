#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// What a replacement is about to do, kept in the session directory so that it outlives the
// process: before an installed file is renamed to its backup name, and before a part file is
// created, a line says so. The file is only ever appended to; a run killed at any moment leaves
// a record of every backup and part file it may have made, and the next run repairs from it.
// Paths are relative to the application root. GUI thread only.
class ReplaceJournal
{
public:
    using LogLine = std::function<void(const QString& line)>;

    explicit ReplaceJournal(QString sessionDirectory);

    [[nodiscard]] static QString fileName();

    // False, with errorString() set, when the line could not be written; the change it announces
    // must not be made then.
    [[nodiscard]] bool recordBackup(const QString& installedPath);
    [[nodiscard]] bool recordPart(const QString& partPath);
    [[nodiscard]] bool recordBackups(const QStringList& installedPaths);

    // Repairs what a killed run left: an original whose installed file is missing is put back,
    // and part files are removed. Returns the recorded files whose original still lies beside
    // them under the backup name: those backups are this session's own and go once the files
    // are current (removeBackups()).
    [[nodiscard]] QStringList repair(const LogLine& log) const;
    // Removes the backups recorded here that still exist, except those of the updater's own
    // files, which stay until its next start.
    void removeBackups() const;

    [[nodiscard]] const QString& errorString() const { return error; }

private:
    enum class Kind { Backup, Part };
    struct Entry
    {
        Kind kind;
        QString path;
    };

    [[nodiscard]] bool append(const QString& text);
    [[nodiscard]] QList<Entry> entries() const;

    QString journalPath;
    QString error;
};
