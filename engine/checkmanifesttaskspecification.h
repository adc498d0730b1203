#pragma once

#include "asynctaskspecification.h"
#include "releasemanifest.h"

#include <QByteArray>
#include <QString>

// Checks on a pool thread the release manifest beside a product ini: its Ed25519 signature with
// the given public key, that it describes the client type and version the run asked for, and
// that it lists the product ini's SHA-256 digest and size. So a mirror can serve neither another
// release's signed ini under this version's path nor one of another client type. A failure is
// one line naming the check that failed; the verdict also comes through checkDone, with the
// manifest as checked, so that a parent may fetch the files afresh or use the manifest without
// reading it again. The task itself always ends Finished.
class CheckManifestTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    struct Expected
    {
        QString iniFile;
        QString manifestFile; // its signature lies beside it, with ".sig" appended
        QByteArray publicKey; // PEM
        QString clientType;
        int version = 0;
    };

    CheckManifestTaskSpecification(Expected expected, QObject* parent, double parentProgressRange);

signals:
    // Emitted before the task ends, so a receiver may still rebuild its subtasks. manifest is
    // empty unless the check passed.
    void checkDone(bool pass, const ReleaseManifest& manifest);

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    void runDone(bool pass) override;

private slots:
    void onManifestRead(ReleaseManifest manifest);

private:
    const Expected expected;
    ReleaseManifest checked;
};

// The body of the check.
class CheckManifestFunc : public ASyncFunc
{
    Q_OBJECT

public:
    explicit CheckManifestFunc(CheckManifestTaskSpecification::Expected expected);

    [[nodiscard]] bool run() override;

signals:
    // The manifest that passed, emitted once just before the result.
    void manifestChecked(ReleaseManifest manifest);

private:
    // Empty when the files pass, with manifest parsed; else what failed.
    [[nodiscard]] QString failedCheck(ReleaseManifest& manifest) const;

    const CheckManifestTaskSpecification::Expected expected;
};
