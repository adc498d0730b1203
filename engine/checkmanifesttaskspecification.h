#pragma once

#include "asynctaskspecification.h"
#include "releasemanifest.h"

#include <QByteArray>
#include <QString>

// Checks on a pool thread the release manifest beside a product ini: its Ed25519 signature with
// the given public key, that it describes the client type and version the run asked for, and
// that it lists the product ini's SHA-256 digest and size. So a mirror can serve neither another
// release's signed ini under this version's path nor one of another client type. A failure, of
// the kind Verification, names the check that failed; the result is the manifest as checked, so
// that the stages after it need not read it again.
class CheckManifestTaskSpecification : public ASyncTaskOf<ReleaseManifest>
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

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;

private:
    const Expected expected;
};

// The body of the check.
class CheckManifestFunc : public ASyncComputation<ReleaseManifest>
{
public:
    explicit CheckManifestFunc(CheckManifestTaskSpecification::Expected expected);

    [[nodiscard]] Result<ReleaseManifest> run() override;

private:
    // Empty when the files pass, with manifest parsed; else what failed.
    [[nodiscard]] QString failedCheck(ReleaseManifest& manifest) const;

    const CheckManifestTaskSpecification::Expected expected;
};
