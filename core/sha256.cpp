#include "sha256.h"

#include <openssl/evp.h>

Sha256::Sha256()
    : context(EVP_MD_CTX_new())
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::ContextFree::operator()(evp_md_ctx_st* context) const
{
    EVP_MD_CTX_free(context);
}

void Sha256::reset()
{
    // Only an exhausted allocator fails here; a digest that cannot be taken must not pass for one.
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        qFatal("SHA-256 is not available");
}

void Sha256::add(QByteArrayView data)
{
    EVP_DigestUpdate(context.get(), data.data(), static_cast<size_t>(data.size()));
}

QByteArray Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context.get(), digest, &size);
    reset();
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(size)).toHex();
}

QByteArray Sha256::hexOf(QByteArrayView data)
{
    Sha256 hash;
    hash.add(data);
    return hash.hexResult();
}
