#include "checksignaturetaskspecification.h"

#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>

using namespace Qt::StringLiterals;

namespace {

// Large enough for hashing at disk speed; fixed, so memory use does not grow with the file.
constexpr qint64 readBufferSize = 64 * 1024;

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

std::unique_ptr<ASyncFunc> CheckSignatureTaskSpecification::createFunction()
{
    return std::make_unique<CheckSigFunc>(file, expectedMd5);
}

void CheckSignatureTaskSpecification::runDone(bool pass)
{
    // A result that arrives after a reset belongs to no check any more.
    if (state != Running)
        return;
    if (!pass)
        emit message(u"Signature check failed for %1"_s.arg(file));
    emit checkDone(pass, this);
    // The receiver may have reset this task already; it must not end twice.
    if (state != Running)
        return;
    if (pass || !failOnMismatch)
        finish();
    else
        errorCancel();
}

CheckSigFunc::CheckSigFunc(const QString& file, const QString& expectedMd5)
    : file(file)
    , expectedMd5(expectedMd5)
{}

bool CheckSigFunc::run()
{
    return expectedMd5.isEmpty() ? checkRSA() : checkMD5();
}

bool CheckSigFunc::checkMD5()
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!streamFile(file, [&md5](QByteArrayView chunk) { md5.addData(chunk); }))
        return false;
    const QString digest = QString::fromLatin1(md5.result().toHex());
    return digest.compare(expectedMd5, Qt::CaseInsensitive) == 0;
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
    data.clear();
    return streamFile(path, [&data](QByteArrayView chunk) { data.append(chunk); });
}

bool CheckSigFunc::fileMatches(const QString& file, const QString& expectedMd5)
{
    // Nothing is connected to this body, so its texts go nowhere.
    return CheckSigFunc(file, expectedMd5).run();
}

bool CheckSigFunc::streamFile(const QString& path,
                              const std::function<void(QByteArrayView)>& consume)
{
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        emit message(u"Could not open file %1 for reading"_s.arg(path));
        return false;
    }
    if (!streamDevice(input, input.size(), consume)) {
        emit message(u"could not read file %1 correctly"_s.arg(path));
        return false;
    }
    return true;
}

bool CheckSigFunc::streamDevice(QIODevice& device, qint64 size,
                                const std::function<void(QByteArrayView)>& consume)
{
    if (size <= 0)
        return true;
    QByteArray buffer(qMin(size, readBufferSize), Qt::Uninitialized);
    for (qint64 remaining = size; remaining > 0;) {
        const qint64 got = device.read(buffer.data(), qMin(remaining, readBufferSize));
        if (got <= 0)
            return false;
        consume(QByteArrayView(buffer.constData(), got));
        remaining -= got;
    }
    return true;
}
