#include "releasetoolsigner.h"

#include "releasetoolnames.h"

#include <QFile>

using namespace Qt::StringLiterals;

namespace {

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

bool readAll(const QString& fileName, QByteArray& data, QString& error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    data = file.readAll();
    if (file.error() != QFile::NoError) {
        error = file.errorString();
        return false;
    }
    return true;
}

bool verify(Rsa_key* key, const QByteArray& data, QByteArray signature)
{
    try {
        return verify_msg(key, bytes(data), static_cast<unsigned long>(data.size()),
                          reinterpret_cast<unsigned char*>(signature.data()),
                          static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception&) {
        return false;
    }
}

void initializeOnce()
{
    static const bool initialized = [] {
        crypt_init();
        return true;
    }();
    Q_UNUSED(initialized);
}

} // namespace

ReleaseToolSigner::ReleaseToolSigner()
{
    initializeOnce();
}

bool ReleaseToolSigner::loadKey(const QString& privateKeyFile)
{
    const QString shown = ReleaseToolNames::display(privateKeyFile);
    QByteArray block;
    QString readError;
    // The library reads a missing file as a block of zeros; say what really happened.
    if (!readAll(privateKeyFile, block, readError))
        return fail(u"cannot read the private key %1: %2"_s.arg(shown, readError));
    block.resize(qMax(block.size(), qsizetype(PUBLIC_KEY_SIZE)), '\0');
    try {
        key.load(bytes(block), PUBLIC_KEY_SIZE);
    } catch (const crypt_exception& e) {
        return fail(u"%1 is not a key file (%2)"_s.arg(shown, QString::fromLocal8Bit(e.what())));
    }
    if (key.get()->type != PK_PRIVATE)
        return fail(u"%1 is a public key; signing needs the private key"_s.arg(shown));
    return true;
}

bool ReleaseToolSigner::signFile(const QString& file)
{
    const QString shown = ReleaseToolNames::display(file);
    QByteArray data;
    QString readError;
    if (!readAll(file, data, readError))
        return fail(u"cannot read %1: %2"_s.arg(shown, readError));

    QByteArray signature(512, '\0');
    auto signatureSize = static_cast<unsigned long>(signature.size());
    try {
        sign_msg(key.get(), bytes(data), static_cast<unsigned long>(data.size()),
                 reinterpret_cast<unsigned char*>(signature.data()), &signatureSize);
    } catch (const crypt_exception& e) {
        return fail(u"cannot sign %1: %2"_s.arg(shown, QString::fromLocal8Bit(e.what())));
    }
    signature.resize(qsizetype(signatureSize));
    if (!verify(key.get(), data, signature))
        return fail(u"the signature of %1 does not verify"_s.arg(shown));

    QFile sigFile(file + u".sig"_s);
    if (!sigFile.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        sigFile.write(signature) != signature.size() || !sigFile.flush())
        return fail(u"cannot write %1: %2"_s.arg(ReleaseToolNames::display(sigFile.fileName()),
                                                 sigFile.errorString()));
    return true;
}

bool ReleaseToolSigner::builtInKeyAccepts(const QString& file)
{
    initializeOnce();
    QByteArray data;
    QByteArray signature;
    QString readError;
    if (!readAll(file, data, readError) || !readAll(file + u".sig"_s, signature, readError))
        return false;
    ScopedRsaKey builtIn;
    try {
        builtIn.load(PUBLIC_KEY, PUBLIC_KEY_SIZE);
    } catch (const crypt_exception&) {
        return false;
    }
    return verify(builtIn.get(), data, signature);
}

bool ReleaseToolSigner::fail(const QString& text)
{
    error = text;
    return false;
}
