#pragma once

#include "releasetoolmanifest.h"
#include "sha256.h"

#include <QByteArrayView>
#include <QCryptographicHash>

// Takes the digests of a file in the one pass that writes or reads it: the MD5 sum the product
// ini carries and the SHA-256 digest the manifest carries.
class ReleaseToolDigester
{
public:
    ReleaseToolDigester();

    void add(QByteArrayView data);
    [[nodiscard]] ReleaseToolDigest result();

private:
    QCryptographicHash md5;
    Sha256 sha256;
    qint64 size = 0;
};
