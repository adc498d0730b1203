#pragma once

#include "asynctaskspecification.h"
#include "rollback.h"

#include <QString>

#include <optional>

// A file operation that may take long (copy, unpack): its body runs on a pool thread and
// creates target from source. A newly created target is always journaled, even if the task was
// reset meanwhile, so that it can be undone; one placed over an existing file is undone by that
// file's backup.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // NewName: target must not exist. OverExisting: the new file takes target's name in one
    // rename over the file there, whose backup (made and journaled before) is what undoes it.
    enum class Placement { NewName, OverExisting };

    // rollbackList is not owned and may be null.
    SlowFileOpSpecification(QString failureMessage, RollbackDataList* rollbackList,
                            const QString& source, const QString& target, QObject* parent,
                            double parentProgressRange, Placement placement = Placement::NewName);

protected:
    void runDone(bool ok) override;
    // What undoes the operation once the body succeeded: removing a newly created target, and
    // nothing for one placed over an existing file.
    [[nodiscard]] virtual std::optional<RollbackData> doneRecord() const;

    RollbackDataList* rollbackList;
    QString source;
    QString target;
    QString failureMessage;
    const Placement placement;
};

// The body of a slow file operation: it sees nothing but its two paths and the file system.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& source, const QString& target);

protected:
    const QString source;
    const QString target;
};
