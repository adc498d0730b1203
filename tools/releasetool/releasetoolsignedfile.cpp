#include "releasetoolsignedfile.h"

#include "ed25519.h"
#include "releasetoolnames.h"

#include <QFile>
#include <QSaveFile>

#include <utility>

using namespace Qt::StringLiterals;

ReleaseToolSignedFile::ReleaseToolSignedFile(QString keyName, QString textName)
    : keyName(std::move(keyName))
    , textName(std::move(textName))
{}

bool ReleaseToolSignedFile::loadKey(const QString& privateKeyFile)
{
    const QString shown = ReleaseToolNames::display(privateKeyFile);
    QFile file(privateKeyFile);
    if (file.open(QIODevice::ReadOnly))
        privatePem = file.readAll();
    if (!file.isOpen() || file.error() != QFile::NoError)
        return fail(u"cannot read the %1 %2: %3"_s.arg(keyName, shown, file.errorString()));
    if (privatePem.contains("-----BEGIN PUBLIC KEY-----"))
        return fail(
                u"%1 is a public key; signing the %2 needs the private key"_s.arg(shown, textName));
    // A key that cannot sign is found now, before anything is written.
    if (const Result<QByteArray> probe = Ed25519::sign(privatePem, "probe"); !probe.ok())
        return fail(u"cannot sign with the %1 %2: %3"_s.arg(keyName, shown, probe.failure().text));
    return true;
}

bool ReleaseToolSignedFile::sign(const QByteArray& text, QByteArray& signature)
{
    Result<QByteArray> made = Ed25519::sign(privatePem, text);
    if (!made.ok())
        return fail(u"cannot sign the %1: %2"_s.arg(textName, made.failure().text));
    signature = std::move(made).value();
    return true;
}

bool ReleaseToolSignedFile::store(const QString& path, const QByteArray& text,
                                  const QByteArray& signature)
{
    QSaveFile signatureFile(path + u".sig"_s);
    QSaveFile textFile(path);
    const std::pair<QSaveFile*, const QByteArray*> contents[] = {{&signatureFile, &signature},
                                                                 {&textFile, &text}};
    for (const auto& [file, content] : contents) {
        if (!file->open(QIODevice::WriteOnly) || file->write(*content) != content->size())
            return fail(u"cannot write %1: %2"_s.arg(ReleaseToolNames::display(file->fileName()),
                                                     file->errorString()));
    }
    for (QSaveFile* file : {&signatureFile, &textFile}) {
        if (!file->commit())
            return fail(u"cannot write %1: %2"_s.arg(ReleaseToolNames::display(file->fileName()),
                                                     file->errorString()));
    }
    return true;
}

bool ReleaseToolSignedFile::fail(const QString& text)
{
    error = text;
    return false;
}
