#include "tomcryptutil.h"

#include <array>
#include <cstdio>
#include <memory>

int hash_idx = -1;
int prng_idx = -1;

namespace {

constexpr int rsaModulusBytes = 128;
constexpr long rsaPublicExponent = 65537;
constexpr unsigned long readChunk = 2048;

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

[[nodiscard]] FilePtr openForReading(const char* filename)
{
    FilePtr file(std::fopen(filename, "rb"));
    if (!file)
        throw crypt_exception(std::string("Cannot open file for reading: ") + filename);
    return file;
}

[[nodiscard]] FilePtr openForWriting(const char* filename)
{
    FilePtr file(std::fopen(filename, "wb"));
    if (!file)
        throw crypt_exception(std::string("Cannot open file for writing: ") + filename);
    return file;
}

void writeAll(const char* filename, const unsigned char* data, unsigned long len)
{
    FilePtr file = openForWriting(filename);
    // A short write or a failed flush (full disk) must not leave a key or signature that looks
    // complete.
    if (std::fwrite(data, 1, len, file.get()) != len || std::fflush(file.get()) != 0)
        throw crypt_exception(std::string("Cannot write file: ") + filename);
    if (std::fclose(file.release()) != 0)
        throw crypt_exception(std::string("Cannot write file: ") + filename);
}

// The library aborts the process on an empty input (a null pointer or no bytes) instead of
// reporting it; an empty signature or key file is merely invalid input.
[[noreturn]] void rejectEmpty(const char* name)
{
    throw crypt_exception(std::string(name) + ": " + error_to_string(CRYPT_INVALID_PACKET));
}

} // namespace

crypt_exception::crypt_exception(std::string message)
    : message(std::move(message))
{}

const char* crypt_exception::what() const noexcept
{
    return message.c_str();
}

void crypt_init()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    hash_idx = find_hash("sha1");
    prng_idx = find_prng("sprng");
}

void check_err(const char* name, int err)
{
    if (err != CRYPT_OK)
        throw crypt_exception(std::string(name) + ": " + error_to_string(err));
}

void hash_msg(const unsigned char* data, unsigned long len, unsigned char* out)
{
    // The library rejects a null pointer even for zero bytes; an empty file has no buffer.
    static const unsigned char nothing = 0;
    hash_state state;
    sha1_init(&state);
    sha1_process(&state, len == 0 ? &nothing : data, len);
    sha1_done(&state, out);
}

bool verify_msg(Rsa_key* key, const unsigned char* data, unsigned long len, unsigned char* sig,
                unsigned long siglen)
{
    std::array<unsigned char, SHA1_SIZE> hash{};
    hash_msg(data, len, hash.data());
    if (sig == nullptr || siglen == 0)
        rejectEmpty("rsa_verify_hash");
    int valid = 0;
    check_err("rsa_verify_hash",
              rsa_verify_hash_ex(sig, siglen, hash.data(), hash.size(), LTC_PKCS_1_PSS, hash_idx,
                                 PSS_SALT_LENGTH, &valid, key));
    return valid == 1;
}

void load_key(Rsa_key* key, const unsigned char* in, unsigned long len)
{
    if (in == nullptr || len == 0)
        rejectEmpty("rsa_import");
    check_err("rsa_import", rsa_import(in, len, key));
}

void sign_msg(Rsa_key* key, const unsigned char* data, unsigned long len, unsigned char* out,
              unsigned long* outlen)
{
    std::array<unsigned char, SHA1_SIZE> hash{};
    hash_msg(data, len, hash.data());
    check_err("rsa_sign_hash",
              rsa_sign_hash_ex(hash.data(), hash.size(), out, outlen, LTC_PKCS_1_PSS, nullptr,
                               prng_idx, hash_idx, PSS_SALT_LENGTH, key));
}

void create_key(Rsa_key* key)
{
    check_err("rsa_make_key",
              rsa_make_key(nullptr, prng_idx, rsaModulusBytes, rsaPublicExponent, key));
}

void save_key(Rsa_key* key, int type, const char* filename)
{
    std::array<unsigned char, PUBLIC_KEY_SIZE> block{};
    unsigned long len = block.size();
    check_err("rsa_export", rsa_export(block.data(), &len, type, key));
    writeAll(filename, block.data(), block.size());
}

void load_key(Rsa_key* key, const char* filename)
{
    // A missing or short file leaves zeros, which the import then rejects.
    std::array<unsigned char, PUBLIC_KEY_SIZE> block{};
    if (FilePtr file{std::fopen(filename, "rb")})
        static_cast<void>(std::fread(block.data(), 1, block.size(), file.get()));
    load_key(key, block.data(), block.size());
}

std::vector<unsigned char> read_file(const char* filename)
{
    FilePtr file = openForReading(filename);
    std::vector<unsigned char> data;
    std::array<unsigned char, readChunk> chunk{};
    for (;;) {
        const size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
        data.insert(data.end(), chunk.begin(), chunk.begin() + got);
        if (got < chunk.size())
            break;
    }
    if (std::ferror(file.get()))
        throw crypt_exception(std::string("Cannot read file: ") + filename);
    return data;
}

void write_file(const char* filename, unsigned char* data, unsigned long len)
{
    writeAll(filename, data, len);
}

ScopedRsaKey::~ScopedRsaKey()
{
    release();
}

void ScopedRsaKey::release()
{
    if (owned)
        rsa_free(&key);
    owned = false;
}

// The library frees a key itself when an import or generation fails, so only success is owned.
void ScopedRsaKey::load(const unsigned char* in, unsigned long len)
{
    release();
    load_key(&key, in, len);
    owned = true;
}

void ScopedRsaKey::load(const char* filename)
{
    release();
    load_key(&key, filename);
    owned = true;
}

void ScopedRsaKey::generate()
{
    release();
    create_key(&key);
    owned = true;
}
