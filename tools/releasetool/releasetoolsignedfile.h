#pragma once

#include <QByteArray>
#include <QString>

// An Ed25519 private key (PKCS #8 PEM) and the signed texts it writes: the text at a path and its
// raw signature at the path with ".sig", both under temporary names first, the signature in place
// before the text, so that a reader never finds the text without its signature.
class ReleaseToolSignedFile
{
public:
    // Messages name the key and the text, e.g. "manifest key" and "manifest".
    ReleaseToolSignedFile(QString keyName, QString textName);

    // Reads the private key and makes sure that it signs.
    [[nodiscard]] bool loadKey(const QString& privateKeyFile);
    [[nodiscard]] bool sign(const QByteArray& text, QByteArray& signature);
    [[nodiscard]] bool store(const QString& path, const QByteArray& text,
                             const QByteArray& signature);

    [[nodiscard]] const QString& errorString() const { return error; }

private:
    [[nodiscard]] bool fail(const QString& text);

    QString keyName;
    QString textName;
    QByteArray privatePem;
    QString error;
};
