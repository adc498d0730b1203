#pragma once

#include "asynctaskspecification.h"

#include <QByteArray>
#include <QString>

// Checks on a pool thread the release manifest beside a product ini: its Ed25519 signature with
// the given public key, that it describes the client type and version the run asked for, and
// that it lists the product ini's SHA-256 digest and size. So a mirror can serve neither another
// release's signed ini under this version's path nor one of another client type. A failure is
// one line naming the check that failed; the verdict also comes through checkDone, so that a
// parent may fetch the files afresh. The task itself always ends Finished.
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
    // Emitted before the task ends, so a receiver may still rebuild its subtasks.
    void checkDone(bool pass);

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    void runDone(bool pass) override;

private:
    const Expected expected;
};

// The body of the check.
class CheckManifestFunc : public ASyncFunc
{
    Q_OBJECT

public:
    explicit CheckManifestFunc(CheckManifestTaskSpecification::Expected expected);

    [[nodiscard]] bool run() override;

private:
    // Empty when the files pass; else what failed.
    [[nodiscard]] QString failedCheck() const;

    const CheckManifestTaskSpecification::Expected expected;
};
