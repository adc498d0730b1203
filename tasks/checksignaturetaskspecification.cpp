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
                                                                 bool failOnMismatch,
                                                                 QObject* parent,
                                                                 double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , file(std::move(file))
    , expectedMd5(std::move(expectedMd5))
    , failOnMismatch(failOnMismatch)
{}

void CheckSignatureTaskSpecification::execute()
{
    // Comparing two digests is no work for the pool: the hop there and back would cost more.
    const bool sha256Known = expectedSha256.isEmpty() || !knownSha256.isEmpty();
    if (!knownMd5.isEmpty() && !expectedMd5.isEmpty() && sha256Known) {
        setRunning();
        runDone(WholeFile::sameDigest(knownMd5, expectedMd5) &&
                (expectedSha256.isEmpty() || knownSha256 == expectedSha256));
        return;
    }
    ASyncTaskSpecification::execute();
}

std::unique_ptr<ASyncFunc> CheckSignatureTaskSpecification::createFunction()
{
    return std::make_unique<CheckSigFunc>(file, expectedMd5, expectedSha256);
}

void CheckSignatureTaskSpecification::runDone(bool pass)
{
    // A result that arrives after a reset belongs to no check any more.
    if (state() != Running)
        return;
    if (!pass)
        emit message(u"Signature check failed for %1"_s.arg(file));
    emit checkDone(pass, this);
    // The receiver may have reset this task already; it must not end twice.
    if (state() != Running)
        return;
    if (pass || !failOnMismatch)
        finish();
    else
        errorCancel();
}

CheckSigFunc::CheckSigFunc(const QString& file, const QString& expectedMd5,
                           const QByteArray& expectedSha256)
    : file(file)
    , expectedMd5(expectedMd5)
    , expectedSha256(expectedSha256)
{}

bool CheckSigFunc::run()
{
    return expectedMd5.isEmpty() ? checkRSA() : checkMD5();
}

bool CheckSigFunc::checkMD5()
{
    WholeFile input(file);
    if (input.matchesMd5(expectedMd5) &&
        (expectedSha256.isEmpty() || input.matchesSha256(expectedSha256)))
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
