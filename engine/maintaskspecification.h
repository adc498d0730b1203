#pragma once

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "installedrelease.h"
#include "productinireader.h"
#include "releasemanifest.h"
#include "runcontext.h"

#include <QStringList>

class Mirrors;
class QNetworkAccessManager;

// The root of one update run: the pipeline stages strictly one after the other. Each stage is
// built when the one before it has finished, from that one's result:
//   product ini and manifest -> checked manifests -> file lists -> downloads -> replacement ->
//   what is left to delete -> deletion.
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
    // What "update.ini" records once the run has installed its files; the replacement commits it.
    [[nodiscard]] InstalledRelease installing() const;
    // The release the run's version is on probation from; not recorded when it is not.
    [[nodiscard]] InstalledRelease probationFrom() const;

private:
    enum Stage { ProductIni, Lists, Downloads, Replacement, Deletion, StageCount };

    void makeSubtasksAndStart();
    [[nodiscard]] TaskSpecification* makeStage(qsizetype stage);
    [[nodiscard]] int downloadsAtOnce() const;
    // Keeps what stage hands on once it has finished, before it is let go.
    template<typename StageTask, typename Take>
    StageTask* onFinished(StageTask* stage, Take take);

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    const RunContext context;
    ReleaseManifest checkedManifest;
    // The release a pull-back leaves, checked; its manifest is empty when the run keeps on.
    NewerRelease newerRelease;
    FileSpecifications lists;
    QStringList deletions;
};
