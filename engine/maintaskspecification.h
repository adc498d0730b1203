#pragma once

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "releasemanifest.h"
#include "runcontext.h"

class Mirrors;
class QNetworkAccessManager;

// The root of one update run: the pipeline stages strictly one after the other. Owns the file
// lists and the checked release manifest through which the stages hand their results on.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // None of the pointers is owned; all must outlive the task. The stages read the task's own
    // copy of the context, which lives as long as they do.
    MainTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors, RunContext context,
                          QObject* parent, double parentProgressRange);

    void execute() override;
    void reset() override;

    // The release manifest the run checked; empty without one.
    [[nodiscard]] const ReleaseManifest& manifest() const { return checkedManifest; }

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    const RunContext context;
    FileSpecifications fileSpecifications;
    ReleaseManifest checkedManifest;
};
