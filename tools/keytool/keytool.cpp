// sonavelle-keytool: makes the release-signing key pairs (RSA for the product ini, Ed25519 for
// the release manifest), signs files and checks signatures.

#include "ed25519.h"
#include "tomcryptutil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* usage =
        "usage: sonavelle-keytool genkey PRIVATE PUBLIC\n"
        "       sonavelle-keytool sign PRIVATE FILE              (writes FILE.sig)\n"
        "       sonavelle-keytool verify PUBLIC FILE             (checks FILE.sig)\n"
        "       sonavelle-keytool genkey-ed25519 PRIVATE PUBLIC  (PEM files)\n"
        "       sonavelle-keytool sign-ed25519 PRIVATE FILE      (writes FILE.sig)\n"
        "       sonavelle-keytool verify-ed25519 PUBLIC FILE     (checks FILE.sig)\n";

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

bool exists(const std::string& path)
{
    struct stat info
    {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Overwriting a private key would lose the only way to sign for installed updaters.
bool refuseExisting(const std::string& privateFile, const std::string& publicFile)
{
    for (const std::string& file : {privateFile, publicFile}) {
        if (exists(file)) {
            std::fprintf(stderr, "sonavelle-keytool: %s exists; not overwriting it\n",
                         file.c_str());
            return true;
        }
    }
    return false;
}

int genkey(const std::string& privateFile, const std::string& publicFile)
{
    if (refuseExisting(privateFile, publicFile))
        return exitFailure;
    ScopedRsaKey key;
    key.generate();
    save_key(key.get(), PK_PRIVATE, privateFile.c_str());
    save_key(key.get(), PK_PUBLIC, publicFile.c_str());
    std::printf("wrote %s and %s\n", privateFile.c_str(), publicFile.c_str());
    return EXIT_SUCCESS;
}

int sign(const std::string& privateFile, const std::string& file)
{
    ScopedRsaKey key;
    key.load(privateFile.c_str());
    const std::vector<unsigned char> content = read_file(file.c_str());
    unsigned char signature[512];
    unsigned long signatureSize = sizeof signature;
    sign_msg(key.get(), content.data(), content.size(), signature, &signatureSize);
    const std::string signatureFile = file + ".sig";
    write_file(signatureFile.c_str(), signature, signatureSize);
    std::printf("wrote %s\n", signatureFile.c_str());
    return EXIT_SUCCESS;
}

int verify(const std::string& publicFile, const std::string& file)
{
    ScopedRsaKey key;
    key.load(publicFile.c_str());
    const std::vector<unsigned char> content = read_file(file.c_str());
    std::vector<unsigned char> signature = read_file((file + ".sig").c_str());
    if (!verify_msg(key.get(), content.data(), content.size(), signature.data(),
                    signature.size())) {
        std::fprintf(stderr, "sonavelle-keytool: %s.sig does not match %s\n", file.c_str(),
                     file.c_str());
        return exitFailure;
    }
    std::printf("%s: signature OK\n", file.c_str());
    return EXIT_SUCCESS;
}

// A new file, readable by its owner only when it holds a private key.
bool writeNewFile(const std::string& path, const QByteArray& content, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, content.constData(), static_cast<size_t>(content.size())) ==
                         static_cast<ssize_t>(content.size());
    return ::close(fd) == 0 && written;
}

int failWith(const QString& text)
{
    std::fprintf(stderr, "sonavelle-keytool: %s\n", qPrintable(text));
    return exitFailure;
}

int genkeyEd25519(const std::string& privateFile, const std::string& publicFile)
{
    if (refuseExisting(privateFile, publicFile))
        return exitFailure;
    const Result<Ed25519::KeyPair> generated = Ed25519::generate();
    if (!generated.ok())
        return failWith(generated.failure().text);
    const Ed25519::KeyPair& pair = generated.value();
    if (!writeNewFile(privateFile, pair.privatePem, 0600) ||
        !writeNewFile(publicFile, pair.publicPem, 0644))
        return failWith(
                QString::fromStdString("could not write " + privateFile + " and " + publicFile));
    std::printf("wrote %s and %s\n", privateFile.c_str(), publicFile.c_str());
    return EXIT_SUCCESS;
}

QByteArray readBytes(const std::string& path)
{
    const std::vector<unsigned char> content = read_file(path.c_str());
    return {reinterpret_cast<const char*>(content.data()), static_cast<qsizetype>(content.size())};
}

int signEd25519(const std::string& privateFile, const std::string& file)
{
    Result<QByteArray> made = Ed25519::sign(readBytes(privateFile), readBytes(file));
    if (!made.ok())
        return failWith(made.failure().text);
    QByteArray signature = std::move(made).value();
    const std::string signatureFile = file + ".sig";
    write_file(signatureFile.c_str(), reinterpret_cast<unsigned char*>(signature.data()),
               static_cast<unsigned long>(signature.size()));
    std::printf("wrote %s\n", signatureFile.c_str());
    return EXIT_SUCCESS;
}

int verifyEd25519(const std::string& publicFile, const std::string& file)
{
    const Failure checked =
            Ed25519::verify(readBytes(publicFile), readBytes(file), readBytes(file + ".sig"));
    if (checked.failed())
        return failWith(QString::fromStdString(file + ".sig: ") + checked.text);
    std::printf("%s: signature OK\n", file.c_str());
    return EXIT_SUCCESS;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fputs(usage, stderr);
        return exitUsage;
    }
    const std::string command = argv[1];
    try {
        crypt_init();
        if (command == "genkey")
            return genkey(argv[2], argv[3]);
        if (command == "sign")
            return sign(argv[2], argv[3]);
        if (command == "verify")
            return verify(argv[2], argv[3]);
        if (command == "genkey-ed25519")
            return genkeyEd25519(argv[2], argv[3]);
        if (command == "sign-ed25519")
            return signEd25519(argv[2], argv[3]);
        if (command == "verify-ed25519")
            return verifyEd25519(argv[2], argv[3]);
    } catch (const crypt_exception& e) {
        std::fprintf(stderr, "sonavelle-keytool: %s\n", e.what());
        return exitFailure;
    }
    std::fputs(usage, stderr);
    return exitUsage;
}
