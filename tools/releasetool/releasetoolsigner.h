#pragma once

#include "tomcryptutil.h"

#include <QByteArray>
#include <QString>

// Signs product inis with the release-signing private key, the way updaters check them.
class ReleaseToolSigner
{
public:
    ReleaseToolSigner();

    // Reads a private key block written by the key tool.
    [[nodiscard]] bool loadKey(const QString& privateKeyFile);
    // Writes file + ".sig" and checks it against the key.
    [[nodiscard]] bool signFile(const QString& file);
    // Whether updaters built from this tree, which check with the built-in public key, accept
    // the signature of file.
    [[nodiscard]] static bool builtInKeyAccepts(const QString& file);
    static constexpr QStringView builtInKeyRejects =
            u"the public key built into this updater build does not accept the signature; its "
            u"updaters reject this version";

    [[nodiscard]] const QString& errorString() const { return error; }

private:
    [[nodiscard]] bool fail(const QString& text);

    ScopedRsaKey key;
    QString error;
};
