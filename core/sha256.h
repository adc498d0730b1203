#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

struct evp_md_ctx_st;

// The SHA-256 digest of a stream of bytes through OpenSSL's libcrypto, which uses the CPU's SHA
// extensions where it has them: about twice as fast as MD5 on the machines we measure on.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(QByteArrayView data);
    // The lower-case hex digest of everything added since construction or the last result;
    // starts a new stream.
    [[nodiscard]] QByteArray hexResult();

    // Drops what was added and starts a new stream.
    void reset();

    [[nodiscard]] static QByteArray hexOf(QByteArrayView data);

private:
    struct ContextFree
    {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextFree> context;
};
