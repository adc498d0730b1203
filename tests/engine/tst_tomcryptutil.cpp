#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// Signatures are checked against OpenSSL, an implementation independent of LibTomCrypt.
class TestTomCryptUtil : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void checkErr_data();
    void checkErr();
    void builtInKeyImportsWholeBlock();
    void builtInKeyIsTheDevelopmentKey();
    void verifiesOpenSslSignature_data();
    void verifiesOpenSslSignature();
    void changedByteFailsWithoutThrowing();
    void truncatedSignatureThrows();
    void emptySignatureThrows();
    void emptyKeyThrows();
    void signatureOfOtherKeyIsRejected();
    void signatureVerifiesWithOpenSsl();
    void keyBlockRoundTrip();
    void fileHelpers();

private:
    [[nodiscard]] QString path(const QString& name) const { return dir.filePath(name); }
    [[nodiscard]] bool openssl(const QStringList& arguments, QByteArray* output = nullptr);
    [[nodiscard]] QByteArray opensslSign(const QByteArray& data);
    void writeFile(const QString& name, const QByteArray& data);

    QTemporaryDir dir;
    QByteArray opensslPublicKeyDer; // PKCS #1 RSAPublicKey, 140 bytes
};

namespace {

QByteArray readAll(const QString& fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const auto* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

auto* mutableBytes(QByteArray& data)
{
    return reinterpret_cast<unsigned char*>(data.data());
}

// The DER length of a key block: a SEQUENCE header with a one- or two-byte long form length.
qsizetype derLength(const QByteArray& block)
{
    const auto lengthByte = static_cast<unsigned char>(block.at(1));
    if (lengthByte < 0x80)
        return 2 + lengthByte;
    qsizetype length = 0;
    const int count = lengthByte & 0x7f;
    for (int i = 0; i < count; ++i)
        length = (length << 8) | static_cast<unsigned char>(block.at(2 + i));
    return 2 + count + length;
}

} // namespace

bool TestTomCryptUtil::openssl(const QStringList& arguments, QByteArray* output)
{
    QProcess process;
    process.start(u"openssl"_s, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        qWarning() << "openssl did not run:" << arguments << process.errorString();
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    if (process.exitCode() != 0)
        qWarning() << "openssl" << arguments << process.readAllStandardError();
    return process.exitCode() == 0;
}

void TestTomCryptUtil::writeFile(const QString& name, const QByteArray& data)
{
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

QByteArray TestTomCryptUtil::opensslSign(const QByteArray& data)
{
    writeFile(u"digest.bin"_s, QCryptographicHash::hash(data, QCryptographicHash::Sha1));
    if (!openssl({u"pkeyutl"_s, u"-sign"_s, u"-inkey"_s, path(u"openssl.pem"_s), u"-in"_s,
                  path(u"digest.bin"_s), u"-out"_s, path(u"openssl.sig"_s), u"-pkeyopt"_s,
                  u"digest:sha1"_s, u"-pkeyopt"_s, u"rsa_padding_mode:pss"_s, u"-pkeyopt"_s,
                  u"rsa_pss_saltlen:8"_s}))
        return {};
    return readAll(path(u"openssl.sig"_s));
}

void TestTomCryptUtil::initTestCase()
{
    QVERIFY(dir.isValid());
    crypt_init();
    QVERIFY(hash_idx >= 0);
    QVERIFY(prng_idx >= 0);
    QVERIFY(openssl({u"genrsa"_s, u"-out"_s, path(u"openssl.pem"_s), u"1024"_s}));
    QVERIFY(openssl({u"rsa"_s, u"-in"_s, path(u"openssl.pem"_s), u"-RSAPublicKey_out"_s,
                     u"-outform"_s, u"DER"_s, u"-out"_s, path(u"openssl_public.der"_s)}));
    opensslPublicKeyDer = readAll(path(u"openssl_public.der"_s));
    QCOMPARE(opensslPublicKeyDer.size(), 140);
}

void TestTomCryptUtil::checkErr_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("invalid packet") << int(CRYPT_INVALID_PACKET);
    QTest::newRow("buffer overflow") << int(CRYPT_BUFFER_OVERFLOW);
    QTest::newRow("invalid argument") << int(CRYPT_INVALID_ARG);
}

void TestTomCryptUtil::checkErr()
{
    QFETCH(int, code);
    check_err("rsa_import", CRYPT_OK);
    try {
        check_err("rsa_import", code);
        QFAIL("no exception");
    } catch (const crypt_exception& e) {
        QCOMPARE(QString::fromUtf8(e.what()),
                 u"rsa_import: "_s + QString::fromUtf8(error_to_string(code)));
    }
}

void TestTomCryptUtil::builtInKeyImportsWholeBlock()
{
    ScopedRsaKey key;
    key.load(PUBLIC_KEY, PUBLIC_KEY_SIZE);
    QCOMPARE(key.get()->type, int(PK_PUBLIC));
    QCOMPARE(ltc_mp.count_bits(key.get()->N), 1024);
}

void TestTomCryptUtil::builtInKeyIsTheDevelopmentKey()
{
#ifndef DEVELOPMENT_PRIVATE_KEY
    QSKIP("this build embeds another public key");
#else
    ScopedRsaKey privateKey;
    privateKey.load(DEVELOPMENT_PRIVATE_KEY);
    const QByteArray data = "a release signed with the development key"_ba;
    QByteArray signature(512, '\0');
    unsigned long signatureSize = signature.size();
    sign_msg(privateKey.get(), bytes(data), data.size(), mutableBytes(signature), &signatureSize);

    ScopedRsaKey publicKey;
    publicKey.load(PUBLIC_KEY, PUBLIC_KEY_SIZE);
    QVERIFY(verify_msg(publicKey.get(), bytes(data), data.size(), mutableBytes(signature),
                       signatureSize));
#endif
}

void TestTomCryptUtil::verifiesOpenSslSignature_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("paddedKey");

    QTest::newRow("text, 140-byte key") << "[files]\nclient::abc::12\n"_ba << false;
    QTest::newRow("text, 2048-byte key block") << "[files]\nclient::abc::12\n"_ba << true;
    QTest::newRow("empty file") << QByteArray() << true;
    QTest::newRow("binary, large") << QByteArray(300000, '\xa5') << true;
}

void TestTomCryptUtil::verifiesOpenSslSignature()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, paddedKey);

    QByteArray signature = opensslSign(data);
    QCOMPARE(signature.size(), 128);
    QByteArray keyBlock = opensslPublicKeyDer;
    if (paddedKey)
        keyBlock.append(QByteArray(PUBLIC_KEY_SIZE - keyBlock.size(), '\0'));

    ScopedRsaKey key;
    key.load(bytes(keyBlock), keyBlock.size());
    QVERIFY(verify_msg(key.get(), bytes(data), data.size(), mutableBytes(signature),
                       signature.size()));
}

void TestTomCryptUtil::changedByteFailsWithoutThrowing()
{
    QByteArray data = "version 2 of the product ini"_ba;
    QByteArray signature = opensslSign(data);
    data[3] = 'X';
    ScopedRsaKey key;
    key.load(bytes(opensslPublicKeyDer), opensslPublicKeyDer.size());
    QVERIFY(!verify_msg(key.get(), bytes(data), data.size(), mutableBytes(signature),
                        signature.size()));
}

void TestTomCryptUtil::truncatedSignatureThrows()
{
    const QByteArray data = "some file"_ba;
    QByteArray signature = opensslSign(data).left(100);
    ScopedRsaKey key;
    key.load(bytes(opensslPublicKeyDer), opensslPublicKeyDer.size());
    try {
        const bool valid = verify_msg(key.get(), bytes(data), data.size(), mutableBytes(signature),
                                      signature.size());
        QFAIL(valid ? "accepted" : "rejected without exception");
    } catch (const crypt_exception& e) {
        QVERIFY2(QByteArray(e.what()).startsWith("rsa_verify_hash: "), e.what());
    }
}

// An empty ".sig" read into a std::vector has no buffer at all.
void TestTomCryptUtil::emptySignatureThrows()
{
    const QByteArray data = "some file"_ba;
    ScopedRsaKey key;
    key.load(PUBLIC_KEY, PUBLIC_KEY_SIZE);
    try {
        const bool valid = verify_msg(key.get(), bytes(data), data.size(), nullptr, 0);
        QFAIL(valid ? "accepted" : "rejected without exception");
    } catch (const crypt_exception& e) {
        QVERIFY2(QByteArray(e.what()).startsWith("rsa_verify_hash: "), e.what());
    }
}

void TestTomCryptUtil::emptyKeyThrows()
{
    const unsigned char block[1] = {0x30};
    ScopedRsaKey key;
    try {
        key.load(block, 0);
        QFAIL("an empty key was imported");
    } catch (const crypt_exception& e) {
        QVERIFY2(QByteArray(e.what()).startsWith("rsa_import: "), e.what());
    }
}

void TestTomCryptUtil::signatureOfOtherKeyIsRejected()
{
    const QByteArray data = "some file"_ba;
    QByteArray signature = opensslSign(data);
    ScopedRsaKey key;
    key.load(PUBLIC_KEY, PUBLIC_KEY_SIZE);
    bool valid = true;
    try {
        valid = verify_msg(key.get(), bytes(data), data.size(), mutableBytes(signature),
                           signature.size());
    } catch (const crypt_exception&) {
        valid = false;
    }
    QVERIFY(!valid);
}

void TestTomCryptUtil::signatureVerifiesWithOpenSsl()
{
    ScopedRsaKey key;
    key.generate();
    const QByteArray publicFile = path(u"ours_public.key"_s).toLocal8Bit();
    save_key(key.get(), PK_PUBLIC, publicFile.constData());
    const QByteArray block = readAll(path(u"ours_public.key"_s));
    QCOMPARE(block.size(), qsizetype(PUBLIC_KEY_SIZE));
    writeFile(u"ours_public.der"_s, block.left(derLength(block)));
    QVERIFY(openssl({u"rsa"_s, u"-RSAPublicKey_in"_s, u"-inform"_s, u"DER"_s, u"-in"_s,
                     path(u"ours_public.der"_s), u"-pubout"_s, u"-out"_s,
                     path(u"ours_public.pem"_s)}));

    const QByteArray data = "signed by the release tool"_ba;
    unsigned char signature[512];
    unsigned long signatureSize = sizeof signature;
    sign_msg(key.get(), bytes(data), data.size(), signature, &signatureSize);
    QCOMPARE(signatureSize, 128UL);
    writeFile(u"ours.sig"_s, QByteArray(reinterpret_cast<const char*>(signature), 128));
    writeFile(u"digest.bin"_s, QCryptographicHash::hash(data, QCryptographicHash::Sha1));

    const QStringList verify{u"pkeyutl"_s,
                             u"-verify"_s,
                             u"-pubin"_s,
                             u"-inkey"_s,
                             path(u"ours_public.pem"_s),
                             u"-in"_s,
                             path(u"digest.bin"_s),
                             u"-sigfile"_s,
                             path(u"ours.sig"_s),
                             u"-pkeyopt"_s,
                             u"digest:sha1"_s,
                             u"-pkeyopt"_s,
                             u"rsa_padding_mode:pss"_s,
                             u"-pkeyopt"_s,
                             u"rsa_pss_saltlen:8"_s};
    QVERIFY(openssl(verify));
    writeFile(u"digest.bin"_s, QCryptographicHash::hash("other data", QCryptographicHash::Sha1));
    QVERIFY(!openssl(verify));
}

void TestTomCryptUtil::keyBlockRoundTrip()
{
    ScopedRsaKey key;
    key.generate();
    const QByteArray privateFile = path(u"round_private.key"_s).toLocal8Bit();
    save_key(key.get(), PK_PRIVATE, privateFile.constData());
    QCOMPARE(QFileInfo(path(u"round_private.key"_s)).size(), qint64(PUBLIC_KEY_SIZE));

    ScopedRsaKey loaded;
    loaded.load(privateFile.constData());
    QCOMPARE(loaded.get()->type, int(PK_PRIVATE));
    QCOMPARE(ltc_mp.compare(loaded.get()->N, key.get()->N), LTC_MP_EQ);

    try {
        ScopedRsaKey missing;
        missing.load(path(u"no_such.key"_s).toLocal8Bit().constData());
        QFAIL("a missing key file was imported");
    } catch (const crypt_exception& e) {
        QVERIFY2(QByteArray(e.what()).startsWith("rsa_import: "), e.what());
    }
}

void TestTomCryptUtil::fileHelpers()
{
    // Sizes around the 2048-byte read steps.
    for (const int size : {0, 1, 2047, 2048, 2049, 10000}) {
        QByteArray data(size, '\0');
        for (int i = 0; i < size; ++i)
            data[i] = char(i * 7);
        const QByteArray name = path(u"file.bin"_s).toLocal8Bit();
        write_file(name.constData(), mutableBytes(data), data.size());
        const std::vector<unsigned char> back = read_file(name.constData());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(back.data()), qsizetype(back.size())),
                 data);
    }

    const QByteArray missing = path(u"missing/file"_s).toLocal8Bit();
    try {
        static_cast<void>(read_file(missing.constData()));
        QFAIL("read a missing file");
    } catch (const crypt_exception& e) {
        QCOMPARE(QByteArray(e.what()), "Cannot open file for reading: " + missing);
    }
    try {
        unsigned char byte = 0;
        write_file(missing.constData(), &byte, 1);
        QFAIL("wrote into a missing directory");
    } catch (const crypt_exception& e) {
        QCOMPARE(QByteArray(e.what()), "Cannot open file for writing: " + missing);
    }
}

QTEST_GUILESS_MAIN(TestTomCryptUtil)
#include "tst_tomcryptutil.moc"
