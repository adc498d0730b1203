#pragma once

#include "asynctaskspecification.h"
#include "filespecifications.h"
#include "sessionlayout.h"

#include <QString>

// Makes a file to install from the installed copy and a fetched patch, on a pool thread: checks
// the patch against its digest, applies it beside the result and checks what it made, which only
// then takes the result's name. A failure is one line through failure() and ends the task
// ErrorCanceled with nothing left behind, the patch included, so the caller can fetch the whole
// file instead.
class PatchApplyTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // Paths of the patch's source and result are resolved here, against the application root
    // and the session.
    PatchApplyTaskSpecification(const FilePatchSpecification& patch, SessionLayout session,
                                QObject* parent, double parentProgressRange);

    [[nodiscard]] const QString& failure() const { return failureText; }

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;

private slots:
    void onFailed(QString why);

private:
    const FilePatchSpecification patch;
    const SessionLayout session;
    QString failureText;
};

// The body of the apply.
class PatchApplyFunc : public ASyncFunc
{
    Q_OBJECT

public:
    PatchApplyFunc(FilePatchSpecification patch, QString sourceFile, QString patchFile,
                   QString resultFile);

    [[nodiscard]] bool run() override;

signals:
    // Why the apply failed, emitted once just before a failed result.
    void failed(QString why);

private:
    // Empty when the result is in place; else what went wrong.
    [[nodiscard]] QString applied() const;

    const FilePatchSpecification patch;
    const QString sourceFile;
    const QString patchFile;
    const QString resultFile;
};
