#include "wholefile.h"

#include "sha256.h"

#include <QCryptographicHash>
#include <QFile>

using namespace Qt::StringLiterals;

WholeFile::WholeFile(QString path)
    : filePath(std::move(path))
{}

bool WholeFile::stream(const BlockConsumer& consume)
{
    error.clear();
    QFile input(filePath);
    if (!input.open(QIODevice::ReadOnly)) {
        error = u"Could not open file %1 for reading"_s.arg(filePath);
        return false;
    }
    if (!streamDevice(input, input.size(), consume)) {
        error = u"could not read file %1 correctly"_s.arg(filePath);
        return false;
    }
    return true;
}

bool WholeFile::md5(QByteArray& hexDigest)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    const bool read = stream([&hash](QByteArrayView block) { hash.addData(block); });
    hexDigest = read ? hash.result().toHex() : QByteArray();
    return read;
}

bool WholeFile::matchesMd5(const QString& expectedHex)
{
    QByteArray digest;
    return md5(digest) && sameDigest(digest, expectedHex);
}

bool WholeFile::sha256(QByteArray& hexDigest)
{
    Sha256 hash;
    const bool read = stream([&hash](QByteArrayView block) { hash.add(block); });
    hexDigest = read ? hash.hexResult() : QByteArray();
    return read;
}

bool WholeFile::matchesSha256(const QByteArray& expectedHex)
{
    QByteArray digest;
    return sha256(digest) && digest == expectedHex;
}

bool WholeFile::sameDigest(QByteArrayView hexDigest, const QString& expectedHex)
{
    return QLatin1StringView(hexDigest).compare(expectedHex, Qt::CaseInsensitive) == 0;
}

bool WholeFile::readAll(QByteArray& data)
{
    data.clear();
    return stream([&data](QByteArrayView block) { data.append(block); });
}

bool WholeFile::streamDevice(QIODevice& device, qint64 size, const BlockConsumer& consume)
{
    if (size <= 0)
        return true;
    QByteArray buffer(qMin(size, blockSize), Qt::Uninitialized);
    for (qint64 remaining = size; remaining > 0;) {
        const qint64 got = device.read(buffer.data(), qMin(remaining, blockSize));
        if (got <= 0)
            return false;
        consume(QByteArrayView(buffer.constData(), got));
        remaining -= got;
    }
    return true;
}
