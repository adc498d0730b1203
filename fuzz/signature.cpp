// The signature primitives with bytes from outside. The two low bits of the first input byte pick
// what the rest is:
//  0: an RSA signature file for fixedContent, checked against the built-in key as the signature
//     check task does it (a mirror delivers the ".sig" file);
//  1: an RSA public key block, imported and, when that works, used on the real signature;
//  2: an Ed25519 signature of fixedContent, checked against the built-in manifest key;
//  3: an Ed25519 public key in PEM, used on the real Ed25519 signature.
// Failures must come as crypt_exception or a false result, never as a crash or a leak; and a
// signature that verifies must be the one release signature the seeds carry.

#include "ed25519.h"
#include "fuzzsupport.h"
#include "tomcryptutil.h"

#include <QByteArray>
#include <QFile>

#include <vector>

using FuzzSupport::check;

namespace {

// The seed corpus/signature/valid-signature holds a signature of it by
// keys/development_private.key.
constexpr char fixedContent[] = "[dl]\nlib/libvoice.so=b95677216e439d96ec4fba1240a3c1f8::5\n";

const unsigned char* content()
{
    return reinterpret_cast<const unsigned char*>(fixedContent);
}

constexpr unsigned long contentSize = sizeof fixedContent - 1;

bool verifyWithBuiltInKey(std::vector<unsigned char> signature)
{
    ScopedRsaKey key;
    key.load(PUBLIC_KEY, PUBLIC_KEY_SIZE);
    return verify_msg(key.get(), content(), contentSize, signature.data(), signature.size());
}

// A real signature of fixedContent, made at start-up with the development key pair that the fuzz
// build embeds; the key import uses it.
std::vector<unsigned char>& realSignature()
{
    static std::vector<unsigned char> signature;
    return signature;
}

void makeRealSignature()
{
    ScopedRsaKey key;
    key.load(SONAVELLE_FUZZ_PRIVATE_KEY);
    std::vector<unsigned char> signature(512);
    unsigned long size = signature.size();
    sign_msg(key.get(), content(), contentSize, signature.data(), &size);
    signature.resize(size);
    if (!verifyWithBuiltInKey(signature))
        FuzzSupport::harnessFailure("the built-in key is not the development key");
    realSignature() = std::move(signature);
}

void checkSignature(std::vector<unsigned char> signature)
{
    try {
        // PSS signatures are randomised, so any fresh signature by the private key verifies, but
        // nothing else can: a verified input must at least have the modulus' length.
        if (verifyWithBuiltInKey(signature))
            check(signature.size() == realSignature().size(), "a malformed signature verifies");
    } catch (const crypt_exception&) {
        // Malformed input is reported this way; the check task turns it into a failed check.
    }
}

void importKey(const unsigned char* data, unsigned long size)
{
    try {
        ScopedRsaKey key;
        key.load(data, size);
        std::vector<unsigned char> signature = realSignature();
        static_cast<void>(
                verify_msg(key.get(), content(), contentSize, signature.data(), signature.size()));
    } catch (const crypt_exception&) {
    }
}

// Ed25519 signatures are deterministic: the one real signature is the only one that verifies.
QByteArray& realEd25519Signature()
{
    static QByteArray signature;
    return signature;
}

void makeRealEd25519Signature()
{
    QFile keyFile(QString::fromLocal8Bit(SONAVELLE_FUZZ_MANIFEST_PRIVATE_KEY));
    // An unreadable key signs nothing either.
    const Result<QByteArray> signature = Ed25519::sign(
            keyFile.open(QIODevice::ReadOnly) ? keyFile.readAll() : QByteArray(), fixedContent);
    if (!signature.ok() ||
        Ed25519::verify(Ed25519::builtInKey(), fixedContent, signature.value()).failed())
        FuzzSupport::harnessFailure("the built-in manifest key is not the development key");
    realEd25519Signature() = signature.value();
}

void checkEd25519Signature(QByteArrayView signature)
{
    const Failure checked = Ed25519::verify(Ed25519::builtInKey(), fixedContent, signature);
    if (!checked.failed())
        check(signature == realEd25519Signature(), "a forged Ed25519 signature verifies");
    else
        check(!checked.text.isEmpty(), "a failed Ed25519 check without a reason");
}

void importEd25519Key(QByteArrayView pem)
{
    static_cast<void>(Ed25519::verify(pem, fixedContent, realEd25519Signature()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    crypt_init();
    makeRealSignature();
    makeRealEd25519Signature();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const unsigned char* rest = data + 1;
    const std::size_t restSize = size - 1;
    const QByteArrayView bytes(rest, static_cast<qsizetype>(restSize));
    switch (data[0] & 3) {
    case 0:
        checkSignature(std::vector<unsigned char>(rest, rest + restSize));
        break;
    case 1:
        importKey(rest, static_cast<unsigned long>(restSize));
        break;
    case 2:
        checkEd25519Signature(bytes);
        break;
    default:
        importEd25519Key(bytes);
    }
    return 0;
}
