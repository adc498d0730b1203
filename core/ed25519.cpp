// Ed25519 key pairs, signatures and their checks, through libcrypto.

#include "ed25519.h"

#include <climits>
#include <memory>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

using namespace Qt::StringLiterals;

namespace {

struct KeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree
{
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioFree
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// Gives back what libcrypto keeps for the calling thread (its error queue), when a call ends. A
// pool thread may still be alive when libcrypto cleans up at exit, which then no longer frees it.
struct ThreadStateRelease
{
    ThreadStateRelease() = default;
    ThreadStateRelease(const ThreadStateRelease&) = delete;
    ThreadStateRelease& operator=(const ThreadStateRelease&) = delete;
    ~ThreadStateRelease() { OPENSSL_thread_stop(); }
};

Bio readBio(QByteArrayView pem)
{
    if (pem.size() > INT_MAX)
        return nullptr;
    return Bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

// The key of the PEM text, or null when it holds none or one of another kind.
Key readKey(QByteArrayView pem, bool privateHalf)
{
    const Bio bio = readBio(pem);
    if (!bio)
        return nullptr;
    Key key(privateHalf ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                        : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (key && EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
        key.reset();
    return key;
}

QByteArray writePem(EVP_PKEY* key, bool privateHalf)
{
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return {};
    const int written = privateHalf ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0,
                                                               nullptr, nullptr)
                                    : PEM_write_bio_PUBKEY(bio.get(), key);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return written == 1 && size > 0 ? QByteArray(data, size) : QByteArray();
}

Failure failure(QString text)
{
    return {Failure::Kind::Verification, std::move(text)};
}

} // namespace

QByteArrayView Ed25519::builtInKey()
{
    return QByteArrayView(MANIFEST_KEY, qstrlen(MANIFEST_KEY));
}

QByteArrayView Ed25519::builtInChannelKey()
{
    return QByteArrayView(CHANNEL_KEY, qstrlen(CHANNEL_KEY));
}

Result<Ed25519::KeyPair> Ed25519::generate()
{
    const ThreadStateRelease release;
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    KeyPair pair;
    if (key) {
        pair.privatePem = writePem(key.get(), true);
        pair.publicPem = writePem(key.get(), false);
    }
    if (!key || pair.privatePem.isEmpty() || pair.publicPem.isEmpty())
        return failure(u"could not make an Ed25519 key pair"_s);
    return pair;
}

Result<QByteArray> Ed25519::sign(QByteArrayView privatePem, QByteArrayView message)
{
    const ThreadStateRelease release;
    const Key key = readKey(privatePem, true);
    if (!key)
        return failure(u"not an Ed25519 private key"_s);
    const Context context(EVP_MD_CTX_new());
    QByteArray signature(signatureSize, Qt::Uninitialized);
    auto size = static_cast<size_t>(signatureSize);
    // Ed25519 hashes the message itself: no digest is named, and it is signed in one go.
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       static_cast<size_t>(message.size())) != 1 ||
        size != static_cast<size_t>(signatureSize))
        return failure(u"could not sign with the Ed25519 key"_s);
    return signature;
}

Failure Ed25519::verify(QByteArrayView publicPem, QByteArrayView message, QByteArrayView signature)
{
    const ThreadStateRelease release;
    const Key key = readKey(publicPem, false);
    if (!key)
        return failure(u"not an Ed25519 public key"_s);
    if (signature.size() != signatureSize)
        return failure(
                u"the signature has %1 bytes, not %2"_s.arg(signature.size()).arg(signatureSize));
    const Context context(EVP_MD_CTX_new());
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         static_cast<size_t>(signature.size()),
                         reinterpret_cast<const unsigned char*>(message.data()),
                         static_cast<size_t>(message.size())) != 1)
        return failure(u"the Ed25519 signature does not match"_s);
    return {};
}
