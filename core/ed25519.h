#pragma once

#include "failure.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The PEM text (SubjectPublicKeyInfo) of the Ed25519 key that release manifests must be signed
// with, built in from SONAVELLE_MANIFEST_KEY; empty in an updater built without one.
extern const char MANIFEST_KEY[];
// The same for channel statements, from SONAVELLE_CHANNEL_KEY.
extern const char CHANNEL_KEY[];

// Ed25519 signatures through OpenSSL's libcrypto. Keys are PEM texts, as `openssl genpkey
// -algorithm ed25519` and `openssl pkey -pubout` write them: PKCS #8 for the private half,
// SubjectPublicKeyInfo for the public one. A signature is its raw 64 bytes.
class Ed25519
{
public:
    static constexpr qsizetype signatureSize = 64;

    struct KeyPair
    {
        QByteArray privatePem;
        QByteArray publicPem;
    };

    Ed25519() = delete;

    // The key built into this updater; empty when it has none.
    [[nodiscard]] static QByteArrayView builtInKey();
    // The channel statement key built into this updater; empty when it has none.
    [[nodiscard]] static QByteArrayView builtInChannelKey();

    // Failures here and below are of kind Verification.
    [[nodiscard]] static Result<KeyPair> generate();
    [[nodiscard]] static Result<QByteArray> sign(QByteArrayView privatePem, QByteArrayView message);
    // No failure only for a signature of exactly this message by the holder of the key.
    [[nodiscard]] static Failure verify(QByteArrayView publicPem, QByteArrayView message,
                                        QByteArrayView signature);
};
