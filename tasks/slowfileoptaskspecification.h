#pragma once

#include "asynctaskspecification.h"

#include <QString>

// A file operation that may take long (copy, unpack): its body runs on a pool thread and
// creates target from source. What it changes in the application root was announced in the
// replacement journal before it started, which is what undoes it.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // NewName: target must not exist. OverExisting: the new file takes target's name in one
    // rename over the file there, whose backup (made before) is what undoes it.
    enum class Placement { NewName, OverExisting };

    SlowFileOpSpecification(QString failureMessage, const QString& source, const QString& target,
                            QObject* parent, double parentProgressRange,
                            Placement placement = Placement::NewName);

protected:
    // A failure without a text of its own is told by failureMessage; one with a text gets
    // failureMessage as a line of its own first.
    void runDone(const Failure& failure) override;

    QString source;
    QString target;
    QString failureMessage;
    const Placement placement;
};

// The body of a slow file operation: it sees nothing but its two paths and the file system.
class SlowFileOpFunc : public ASyncAction
{
public:
    SlowFileOpFunc(const QString& source, const QString& target);

protected:
    const QString source;
    const QString target;
};
