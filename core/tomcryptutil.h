#pragma once

// A thin layer over LibTomCrypt: SHA-1 and RSA-PSS verification against the built-in public key,
// plus the key, signing and file helpers of the release tooling. Library errors become
// crypt_exception; nothing here catches.

#include <exception>
#include <string>
#include <tomcrypt.h>
#include <vector>

inline constexpr unsigned long PUBLIC_KEY_SIZE = 2048;
inline constexpr unsigned long SHA1_SIZE = 20;
inline constexpr unsigned long PSS_SALT_LENGTH = 8;

// The release-signing public key: a DER RSAPublicKey, zero-padded to PUBLIC_KEY_SIZE bytes.
extern const unsigned char PUBLIC_KEY[PUBLIC_KEY_SIZE];

// Indexes of SHA-1 and of the "sprng" generator in LibTomCrypt's tables, set by crypt_init().
extern int hash_idx;
extern int prng_idx;

class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message);
    [[nodiscard]] const char* what() const noexcept override;

private:
    std::string message;
};

// Registers the generator, the math back end and SHA-1. Call once before anything else here.
void crypt_init();
void check_err(const char* name, int err);

void hash_msg(const unsigned char* data, unsigned long len, unsigned char* out);
[[nodiscard]] bool verify_msg(Rsa_key* key, const unsigned char* data, unsigned long len,
                              unsigned char* sig, unsigned long siglen);
void load_key(Rsa_key* key, const unsigned char* in, unsigned long len);

// Tooling: making keys and signatures, key blocks and whole files.
void sign_msg(Rsa_key* key, const unsigned char* data, unsigned long len, unsigned char* out,
              unsigned long* outlen);
void create_key(Rsa_key* key);
void save_key(Rsa_key* key, int type, const char* filename);
void load_key(Rsa_key* key, const char* filename);
[[nodiscard]] std::vector<unsigned char> read_file(const char* filename);
void write_file(const char* filename, unsigned char* data, unsigned long len);

// Owns one key from a successful import or generation and frees it when it goes out of scope.
class ScopedRsaKey
{
public:
    ScopedRsaKey() = default;
    ~ScopedRsaKey();
    ScopedRsaKey(const ScopedRsaKey&) = delete;
    ScopedRsaKey& operator=(const ScopedRsaKey&) = delete;

    void load(const unsigned char* in, unsigned long len);
    void load(const char* filename);
    void generate();
    [[nodiscard]] Rsa_key* get() { return &key; }

private:
    void release();

    Rsa_key key{};
    bool owned = false;
};
