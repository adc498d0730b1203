#pragma once

#include "asynctaskspecification.h"
#include "filespecifications.h"
#include "installationlayout.h"
#include "productinireader.h"
#include "releasemanifest.h"
#include "sessionlayout.h"

#include <QString>

#include <memory>
#include <optional>

struct RunContext;

// Compares the verified product ini with the installed files and with what an earlier run left
// in the temporary directory, on a pool thread; its result is the three lists of the update.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskOf<FileSpecifications>
{
    Q_OBJECT

public:
    // context is not owned and must outlive the task. With a manifest key in the context, only
    // a checked manifest may say what the files are: the one the product-ini stage handed on.
    // A run that goes back from the installed version needs that version's checked release too,
    // to remove what only it installed.
    MakeDownloadReplaceListTaskSpecification(const RunContext& context,
                                             std::optional<ReleaseManifest> checkedManifest,
                                             QObject* parent, double parentProgressRange,
                                             std::optional<NewerRelease> newerRelease = {});

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;

private:
    const RunContext& context;
    const std::optional<ReleaseManifest> checkedManifest;
    const std::optional<NewerRelease> newerRelease;
};

// The body of the list building: a ProductIniReader on copies of the configuration's names and
// paths. Its lists are its result, never written into a task object.
class MakeDownloadReplaceListFunc : public ASyncComputation<FileSpecifications>
{
public:
    // With a checked manifest, every download gets its SHA-256 digests from it. goingBackFrom is
    // the installed version a pull-back leaves (0 for none); with a manifest, newer must be its
    // checked release.
    MakeDownloadReplaceListFunc(const QString& clientType, SessionLayout session,
                                InstallationLayout installation,
                                std::optional<ReleaseManifest> manifest = {}, int goingBackFrom = 0,
                                std::optional<NewerRelease> newer = {});

    [[nodiscard]] Result<FileSpecifications> run() override;

private:
    // Hands the newer release to the reader; a failure when a manifest key asks for one that was
    // not checked.
    [[nodiscard]] Failure setUpPullBack(ProductIniReader& reader);

    const QString clientType;
    const SessionLayout session;
    const InstallationLayout installation;
    const std::optional<ReleaseManifest> manifest;
    const int goingBackFrom;
    const std::optional<NewerRelease> newer;
};
