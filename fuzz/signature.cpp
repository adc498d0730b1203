// The signature primitives with bytes from outside. The first input byte picks what the rest is:
//  even: a signature file for fixedContent, checked against the built-in key as the signature
//        check task does it (a mirror delivers the ".sig" file);
//  odd:  a public key block, imported and, when that works, used on the real signature.
// Failures must come as crypt_exception or a false result, never as a crash or a leak; and a
// signature that verifies must be the one release signature the seeds carry.

#include "fuzzsupport.h"
#include "tomcryptutil.h"

#include <QByteArray>

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

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    crypt_init();
    makeRealSignature();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const unsigned char* rest = data + 1;
    const std::size_t restSize = size - 1;
    if ((data[0] & 1) == 0)
        checkSignature(std::vector<unsigned char>(rest, rest + restSize));
    else
        importKey(rest, static_cast<unsigned long>(restSize));
    return 0;
}
