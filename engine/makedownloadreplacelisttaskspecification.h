#pragma once

#include "asynctaskspecification.h"
#include "filespecifications.h"

#include <QString>

#include <memory>

class Configuration;
class ReleaseManifest;

// Compares the verified product ini with the installed files and with what an earlier run left
// in the temporary directory, on a pool thread, and fills the three lists of the update. The
// lists given at construction change only when the building succeeded, on the GUI thread.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // configuration and fileLists are not owned and must outlive the task.
    MakeDownloadReplaceListTaskSpecification(Configuration* configuration,
                                             FileSpecifications& fileLists, QObject* parent,
                                             double parentProgressRange);

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    void runDone(bool res) override;

private slots:
    void onListsBuilt(FileSpecifications lists);

private:
    Configuration* configuration;
    FileSpecifications* fileLists;
    FileSpecifications workingLists;
};

// The body of the list building: a ProductIniReader on copies of the configuration's names and
// paths. It hands its lists over through listsBuilt, never into a task object.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    // withManifest: every download gets its SHA-256 digest from the release manifest.
    MakeDownloadReplaceListFunc(const QString& clientType, const QString& tempDir,
                                const QString& appRootPath, bool withManifest = false);

    [[nodiscard]] bool run() override;

signals:
    // The finished lists, emitted once just before a successful result.
    void listsBuilt(FileSpecifications lists);

private:
    [[nodiscard]] bool readManifest(ReleaseManifest& manifest);

    const QString clientType;
    const QString tempDir;
    const QString appRootPath;
    const bool withManifest;
};
