#pragma once

#include "asynctaskspecification.h"
#include "filespecifications.h"
#include "installationlayout.h"
#include "sessionlayout.h"

#include <QString>

// Makes a file to install from the installed copy and a fetched patch, on a pool thread: checks
// the patch against its digest, applies it beside the result and checks what it made, which only
// then takes the result's name. A failure, of the kind Patch, ends the task with nothing left
// behind, the patch included, so the caller can fetch the whole file instead.
class PatchApplyTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // Paths of the patch's source and result are resolved here, against the application root
    // and the session.
    PatchApplyTaskSpecification(const FilePatchSpecification& patch, SessionLayout session,
                                InstallationLayout installation, QObject* parent,
                                double parentProgressRange);

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    // Large applies take turns on a pool of their own.
    [[nodiscard]] QThreadPool* pool() const override;

private:
    const FilePatchSpecification patch;
    const SessionLayout session;
    const InstallationLayout installation;
};

// The body of the apply.
class PatchApplyFunc : public ASyncAction
{
public:
    PatchApplyFunc(FilePatchSpecification patch, QString sourceFile, QString patchFile,
                   QString resultFile);

    [[nodiscard]] Failure run() override;

private:
    // Puts the result in place, or says what went wrong.
    [[nodiscard]] Failure applied() const;
    // Whether the made file is the one the manifest lists.
    [[nodiscard]] Failure checkDigest(const QByteArray& digest) const;

    const FilePatchSpecification patch;
    const QString sourceFile;
    const QString patchFile;
    const QString resultFile;
};
