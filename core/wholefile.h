#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

class QIODevice;

// One file read from its start to its end in fixed-size blocks, so that memory use does not grow
// with the file. A failed operation leaves a text for the details log in errorString().
class WholeFile
{
public:
    // Large enough for hashing at disk speed; fixed, so memory use does not grow with the file.
    static constexpr qint64 blockSize = 64 * 1024;

    using BlockConsumer = std::function<void(QByteArrayView block)>;

    explicit WholeFile(QString path);

    // Hands every block to consume, in order.
    [[nodiscard]] bool stream(const BlockConsumer& consume);
    // The lower-case hex MD5 digest of the whole file.
    [[nodiscard]] bool md5(QByteArray& hexDigest);
    // True only for a readable file with that digest (hex text, any letter case).
    [[nodiscard]] bool matchesMd5(const QString& expectedHex);
    // The lower-case hex SHA-256 digest of the whole file.
    [[nodiscard]] bool sha256(QByteArray& hexDigest);
    // expectedHex in lower case, as the release manifest writes it.
    [[nodiscard]] bool matchesSha256(const QByteArray& expectedHex);
    // The whole content; meant for small files such as signatures and product inis.
    [[nodiscard]] bool readAll(QByteArray& data);

    [[nodiscard]] const QString& path() const { return filePath; }
    [[nodiscard]] const QString& errorString() const { return error; }

    // Whether a hex digest is the expected one (hex text, any letter case).
    [[nodiscard]] static bool sameDigest(QByteArrayView hexDigest, const QString& expectedHex);
    // Hands the first size bytes of an open device to consume, block by block. False when the
    // device ends or fails early.
    [[nodiscard]] static bool streamDevice(QIODevice& device, qint64 size,
                                           const BlockConsumer& consume);

private:
    QString filePath;
    QString error;
};
