#include "releasetooldigester.h"

ReleaseToolDigester::ReleaseToolDigester()
    : md5(QCryptographicHash::Md5)
{}

void ReleaseToolDigester::add(QByteArrayView data)
{
    md5.addData(data);
    sha256.add(data);
    size += data.size();
}

ReleaseToolDigest ReleaseToolDigester::result()
{
    return {md5.result().toHex(), sha256.hexResult(), size};
}
