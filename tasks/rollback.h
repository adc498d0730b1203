#pragma once

#include <QList>
#include <QString>

class QObject;

// One journal record: a file-system change that succeeded and how to undo it.
class RollbackData
{
public:
    // Backup: a second name (a hard link or a copy) made for the file at `from`, at `to`; undone
    // by putting it back over `from` in one rename, so that the name never goes missing.
    // LinkBack: a file that came from `from` took the name `to` over an existing one; undone by
    // giving `from` a link to it again, while the Backup record before it restores `to`.
    enum Operation { Rename = 0, CreateFile = 1, CreateDir = 2, Backup = 3, LinkBack = 4 };

    // A rename from `from` to `to`: path is where the file is now.
    RollbackData(Operation operation, const QString& from, const QString& to);
    RollbackData(Operation operation, const QString& path);

    // Undoes this record; a failure is reported to target as a warning line.
    [[nodiscard]] bool rollback(QObject* target) const;
    // Invokes target's "message(QString)"; a task passes itself so the line reaches its log.
    static void message(QObject* target, const QString& text);

    // Puts the backup at backup back under installed in one rename over whatever is there; a
    // backup that is only a second name of the installed file is dropped. True also when there is
    // no backup any more.
    [[nodiscard]] static bool restoreBackup(const QString& backup, const QString& installed);
    // Whether the two paths are names of one file (neither followed if it is a link).
    [[nodiscard]] static bool sameFile(const QString& a, const QString& b);
    // Gives the file at installed a second name at returnPath, unless something is there.
    [[nodiscard]] static bool linkBack(const QString& installed, const QString& returnPath);

    bool operator==(const RollbackData& other) const = default;

    QString path;
    QString previousPath;
    Operation operation;
};

// The undo journal, oldest record first. Used on the GUI thread only.
class RollbackDataList
{
public:
    RollbackDataList() = default;

    void add(const RollbackData& record);
    void appendList(const RollbackDataList& other);
    // Forgets the records without undoing anything.
    void clear();
    // Undoes every record, newest first, and empties the journal whatever the outcome.
    // True when every undo succeeded.
    [[nodiscard]] bool rollback(QObject* target);

    [[nodiscard]] const QList<RollbackData>& records() const { return list; }

private:
    QList<RollbackData> list;
};
