// sonavelle-keytool: makes the release-signing key pair, signs files and checks signatures.

#include "tomcryptutil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr const char* usage = "usage: sonavelle-keytool genkey PRIVATE PUBLIC\n"
                              "       sonavelle-keytool sign PRIVATE FILE      (writes FILE.sig)\n"
                              "       sonavelle-keytool verify PUBLIC FILE     (checks FILE.sig)\n";

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

bool exists(const std::string& path)
{
    struct stat info
    {};
    return ::lstat(path.c_str(), &info) == 0;
}

int genkey(const std::string& privateFile, const std::string& publicFile)
{
    // Overwriting a private key would lose the only way to sign for installed updaters.
    for (const std::string& file : {privateFile, publicFile}) {
        if (exists(file)) {
            std::fprintf(stderr, "sonavelle-keytool: %s exists; not overwriting it\n",
                         file.c_str());
            return exitFailure;
        }
    }
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
    } catch (const crypt_exception& e) {
        std::fprintf(stderr, "sonavelle-keytool: %s\n", e.what());
        return exitFailure;
    }
    std::fputs(usage, stderr);
    return exitUsage;
}
