#pragma once

#include "asynctaskspecification.h"
#include "filespecifications.h"
#include "installationlayout.h"
#include "releasemanifest.h"
#include "sessionlayout.h"

#include <QString>

#include <memory>
#include <optional>

struct RunContext;

// Compares the verified product ini with the installed files and with what an earlier run left
// in the temporary directory, on a pool thread, and fills the three lists of the update. The
// lists given at construction change only when the building succeeded, on the GUI thread.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // context, fileLists and checkedManifest are not owned and must outlive the task. With a
    // manifest key in the context, checkedManifest is the one the product-ini stage
    // checked by the time this task starts.
    MakeDownloadReplaceListTaskSpecification(const RunContext& context,
                                             FileSpecifications& fileLists, QObject* parent,
                                             double parentProgressRange,
                                             const ReleaseManifest* checkedManifest = nullptr);

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    void runDone(bool res) override;

private slots:
    void onListsBuilt(FileSpecifications lists);

private:
    const RunContext& context;
    FileSpecifications* fileLists;
    const ReleaseManifest* checkedManifest;
    FileSpecifications workingLists;
};

// The body of the list building: a ProductIniReader on copies of the configuration's names and
// paths. It hands its lists over through listsBuilt, never into a task object.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    // With a checked manifest, every download gets its SHA-256 digests from it.
    MakeDownloadReplaceListFunc(const QString& clientType, SessionLayout session,
                                InstallationLayout installation,
                                std::optional<ReleaseManifest> manifest = {});

    [[nodiscard]] bool run() override;

signals:
    // The finished lists, emitted once just before a successful result.
    void listsBuilt(FileSpecifications lists);

private:
    const QString clientType;
    const SessionLayout session;
    const InstallationLayout installation;
    const std::optional<ReleaseManifest> manifest;
};
