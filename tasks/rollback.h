#pragma once

#include <QList>
#include <QString>

class QObject;

// One journal record: a file-system change that succeeded and how to undo it.
class RollbackData
{
public:
    enum Operation { Rename = 0, CreateFile = 1, CreateDir = 2 };

    // A rename from `from` to `to`: path is where the file is now.
    RollbackData(Operation operation, const QString& from, const QString& to);
    RollbackData(Operation operation, const QString& path);

    // Undoes this record; a failure is reported to target as a warning line.
    [[nodiscard]] bool rollback(QObject* target) const;
    // Invokes target's "message(QString)"; a task passes itself so the line reaches its log.
    static void message(QObject* target, const QString& text);

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
