#include "checksignaturetaskspecification.h"

#include "tomcryptutil.h"
#include "wholefile.h"

using namespace Qt::StringLiterals;

namespace {

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

unsigned char* mutableBytes(QByteArray& data)
{
    return reinterpret_cast<unsigned char*>(data.data());
}

} // namespace

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(QString file, QString expectedMd5,
                                                                 QObject* parent,
                                                                 double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , file(std::move(file))
    , expectedMd5(std::move(expectedMd5))
{}

void CheckSignatureTaskSpecification::execute()
{
    // Comparing two digests is no work for the pool: the hop there and back would cost more. An
    // expected SHA-256 digest, from a signed manifest, is the one that counts.
    const bool bySha256 = !expectedSha256.isEmpty();
    if (bySha256 ? !knownSha256.isEmpty() : !knownMd5.isEmpty() && !expectedMd5.isEmpty()) {
        setRunning();
        const bool pass = bySha256 ? knownSha256 == expectedSha256
                                   : WholeFile::sameDigest(knownMd5, expectedMd5);
        runDone(pass ? Failure() : Failure{Failure::Kind::Verification, {}});
        return;
    }
    ASyncTaskSpecification::execute();
}

std::unique_ptr<ASyncFunc> CheckSignatureTaskSpecification::createFunction()
{
    return std::make_unique<CheckSigFunc>(file, expectedMd5, expectedSha256);
}

void CheckSignatureTaskSpecification::runDone(const Failure& failure)
{
    // A result that arrives after a reset belongs to no check any more.
    if (state() != Running)
        return;
    if (!failure.failed()) {
        finish();
        return;
    }
    const QString text = u"Signature check failed for %1"_s.arg(file);
    emit message(text);
    errorCancel({Failure::Kind::Verification, text});
}

CheckSigFunc::CheckSigFunc(const QString& file, const QString& expectedMd5,
                           const QByteArray& expectedSha256)
    : file(file)
    , expectedMd5(expectedMd5)
    , expectedSha256(expectedSha256)
{}

Failure CheckSigFunc::run()
{
    if (expectedMd5.isEmpty() ? checkRSA() : checkMD5())
        return {};
    // The task words the failure: it knows the file by the name the user knows.
    return {Failure::Kind::Verification, {}};
}

bool CheckSigFunc::checkMD5()
{
    WholeFile input(file);
    if (expectedSha256.isEmpty() ? input.matchesMd5(expectedMd5)
                                 : input.matchesSha256(expectedSha256))
        return true;
    if (!input.errorString().isEmpty())
        emit message(input.errorString());
    return false;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray content;
    QByteArray signature;
    if (!readFile(file, content) || !readFile(file + u".sig"_s, signature))
        return false;
    try {
        ScopedRsaKey key;
        key.load(PUBLIC_KEY, PUBLIC_KEY_SIZE);
        return verify_msg(key.get(), bytes(content), content.size(), mutableBytes(signature),
                          signature.size());
    } catch (const crypt_exception&) {
        // A malformed signature or key simply fails the check; the caller says so.
        return false;
    }
}

bool CheckSigFunc::readFile(const QString& path, QByteArray& data)
{
    WholeFile input(path);
    if (input.readAll(data))
        return true;
    emit message(input.errorString());
    return false;
}
