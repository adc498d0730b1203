#pragma once

#include "asynctaskspecification.h"

#include <QByteArray>
#include <QString>

#include <memory>

// Checks one file on a pool thread: against an expected MD5 digest (hex text, any letter case)
// and, when one is given too, an expected SHA-256 digest (lower-case hex), or, when no digest is
// given, against the RSA signature in the file's ".sig" companion, made
// with the key built into the program. A mismatch ends the task with a failure of the kind
// Verification, which a parent may answer with a retry.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(QString file, QString expectedMd5, QObject* parent,
                                    double parentProgressRange);

    void execute() override;

    // The digest of the file as it was written, known to whoever wrote it: the MD5 check then
    // compares it, on the GUI thread, rather than reading the file again. Set before the task
    // starts.
    void setKnownMd5(QByteArray hexDigest) { knownMd5 = std::move(hexDigest); }
    void setExpectedSha256(QByteArray hexDigest) { expectedSha256 = std::move(hexDigest); }
    void setKnownSha256(QByteArray hexDigest) { knownSha256 = std::move(hexDigest); }

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    void runDone(const Failure& failure) override;

private:
    const QString file;
    const QString expectedMd5;
    QByteArray knownMd5;
    QByteArray expectedSha256;
    QByteArray knownSha256;
};

// The body of the check. Every file is read through a fixed-size buffer except the two files
// of the signature check, which are small and read whole. A file that cannot be read fails the
// check, with a line saying why.
class CheckSigFunc : public ASyncAction
{
public:
    CheckSigFunc(const QString& file, const QString& expectedMd5,
                 const QByteArray& expectedSha256 = {});

    [[nodiscard]] Failure run() override;
    [[nodiscard]] bool checkMD5();
    [[nodiscard]] bool checkRSA();

private:
    // The whole file into data; a failure is reported through message.
    [[nodiscard]] bool readFile(const QString& path, QByteArray& data);

    const QString file;
    const QString expectedMd5;
    const QByteArray expectedSha256;
};
