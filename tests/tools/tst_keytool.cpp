#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestKeyTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signAndVerify_data();
    void signAndVerify();
    void verifyFailures_data();
    void verifyFailures();
    void genkeyKeepsExistingKeys();
    void usage_data();
    void usage();
    void developmentKeyPairMatches_data();
    void developmentKeyPairMatches();

private:
    struct Result
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    [[nodiscard]] Result run(const QStringList& arguments);
    [[nodiscard]] QString path(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    QString tool;
};

namespace {

void writeFile(const QString& fileName, const QByteArray& data)
{
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

} // namespace

TestKeyTool::Result TestKeyTool::run(const QStringList& arguments)
{
    QProcess process;
    process.start(tool, arguments);
    Result result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

void TestKeyTool::initTestCase()
{
    QVERIFY(dir.isValid());
    tool = QString::fromLocal8Bit(KEYTOOL_PROGRAM);
    const Result generated = run({u"genkey"_s, path(u"private.key"_s), path(u"public.key"_s)});
    QCOMPARE(generated.exitCode, 0);
    QCOMPARE(QFileInfo(path(u"private.key"_s)).size(), 2048);
    QCOMPARE(QFileInfo(path(u"public.key"_s)).size(), 2048);
    QCOMPARE(run({u"genkey-ed25519"_s, path(u"private-ed25519.key"_s),
                  path(u"public-ed25519.key"_s)})
                     .exitCode,
             0);
    // Only its owner may read a private key.
    QCOMPARE(QFileInfo(path(u"private-ed25519.key"_s)).permissions() & 0x0077, 0);
}

void TestKeyTool::signAndVerify_data()
{
    QTest::addColumn<QString>("kind"); // the suffix of the commands and key files
    QTest::addColumn<qint64>("signatureSize");
    QTest::newRow("RSA") << QString() << qint64(128);
    QTest::newRow("Ed25519") << u"-ed25519"_s << qint64(64);
}

void TestKeyTool::signAndVerify()
{
    QFETCH(QString, kind);
    QFETCH(qint64, signatureSize);
    writeFile(path(u"client.ini"_s), "[files]\nclient::0123::4\n"_ba);
    const Result signed_ =
            run({u"sign"_s + kind, path(u"private%1.key"_s.arg(kind)), path(u"client.ini"_s)});
    QCOMPARE(signed_.exitCode, 0);
    QCOMPARE(QFileInfo(path(u"client.ini.sig"_s)).size(), signatureSize);
    const Result verified =
            run({u"verify"_s + kind, path(u"public%1.key"_s.arg(kind)), path(u"client.ini"_s)});
    QCOMPARE(verified.exitCode, 0);
    QVERIFY(verified.err.isEmpty());
}

void TestKeyTool::verifyFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("mutation");
    QTest::addColumn<QString>("expectedError");

    QTest::newRow("file changed") << QString() << u"change"_s << u"does not match"_s;
    QTest::newRow("signature missing")
            << QString() << u"no signature"_s << u"Cannot open file for reading: "_s;
    QTest::newRow("signature truncated") << QString() << u"truncate"_s << u"rsa_verify_hash: "_s;
    QTest::newRow("wrong key") << QString() << u"other key"_s << u"rsa_verify_hash"_s;
    const QString ed = u"-ed25519"_s;
    const QString mismatch = u".sig: the Ed25519 signature does not match"_s;
    QTest::newRow("Ed25519, file changed") << ed << u"change"_s << mismatch;
    QTest::newRow("Ed25519, signature missing")
            << ed << u"no signature"_s << u"Cannot open file for reading: "_s;
    QTest::newRow("Ed25519, signature truncated")
            << ed << u"truncate"_s << u".sig: the signature has 32 bytes, not 64"_s;
    QTest::newRow("Ed25519, wrong key") << ed << u"other key"_s << mismatch;
    QTest::newRow("Ed25519, an RSA key")
            << ed << u"RSA key"_s << u".sig: not an Ed25519 public key"_s;
}

void TestKeyTool::verifyFailures()
{
    QFETCH(QString, kind);
    QFETCH(QString, mutation);
    QFETCH(QString, expectedError);

    const QString file = path(u"data.bin"_s);
    writeFile(file, "payload"_ba);
    QCOMPARE(run({u"sign"_s + kind, path(u"private%1.key"_s.arg(kind)), file}).exitCode, 0);
    QString publicKey = path(u"public%1.key"_s.arg(kind));

    if (mutation == u"change") {
        writeFile(file, "Payload"_ba);
    } else if (mutation == u"no signature") {
        QVERIFY(QFile::remove(file + u".sig"_s));
        expectedError += file + u".sig"_s;
    } else if (mutation == u"truncate") {
        QVERIFY(QFile::resize(file + u".sig"_s, kind.isEmpty() ? 64 : 32));
    } else if (mutation == u"RSA key") {
        publicKey = path(u"public.key"_s);
    } else {
        publicKey = path(u"other_public.key"_s);
        QCOMPARE(run({u"genkey"_s + kind, path(u"other_private.key"_s), publicKey}).exitCode, 0);
    }

    const Result verified = run({u"verify"_s + kind, publicKey, file});
    QCOMPARE(verified.exitCode, 1);
    QVERIFY2(verified.err.contains(expectedError), qPrintable(verified.err));
    QFile::remove(path(u"other_private.key"_s));
    QFile::remove(path(u"other_public.key"_s));
}

void TestKeyTool::genkeyKeepsExistingKeys()
{
    QFile key(path(u"private.key"_s));
    QVERIFY(key.open(QIODevice::ReadOnly));
    const QByteArray before = key.readAll();
    key.close();

    const Result again = run({u"genkey"_s, path(u"private.key"_s), path(u"new_public.key"_s)});
    QCOMPARE(again.exitCode, 1);
    QVERIFY2(again.err.contains(u"exists"_s), qPrintable(again.err));
    QVERIFY(key.open(QIODevice::ReadOnly));
    QCOMPARE(key.readAll(), before);
    QVERIFY(!QFile::exists(path(u"new_public.key"_s)));
}

void TestKeyTool::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("unknown command") << QStringList{u"encrypt"_s, u"a"_s, u"b"_s};
    QTest::newRow("missing argument") << QStringList{u"sign"_s, u"a"_s};
}

void TestKeyTool::usage()
{
    QFETCH(QStringList, arguments);
    const Result result = run(arguments);
    QCOMPARE(result.exitCode, 2);
    QVERIFY(result.err.startsWith(u"usage: "_s));
}

void TestKeyTool::developmentKeyPairMatches_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("privateKey");
    QTest::addColumn<QString>("publicKey");
    QTest::newRow("RSA") << QString() << u"development_private.key"_s
                         << u"development_public.key"_s;
    QTest::newRow("Ed25519") << u"-ed25519"_s << u"development_manifest_private.pem"_s
                             << u"development_manifest_public.pem"_s;
    QTest::newRow("Ed25519 channels") << u"-ed25519"_s << u"development_channel_private.pem"_s
                                      << u"development_channel_public.pem"_s;
}

void TestKeyTool::developmentKeyPairMatches()
{
    QFETCH(QString, kind);
    QFETCH(QString, privateKey);
    QFETCH(QString, publicKey);
    const QString keys = QString::fromLocal8Bit(KEYS_DIR) + u'/';
    const QString file = path(u"dev.txt"_s);
    writeFile(file, "development release"_ba);
    QCOMPARE(run({u"sign"_s + kind, keys + privateKey, file}).exitCode, 0);
    QCOMPARE(run({u"verify"_s + kind, keys + publicKey, file}).exitCode, 0);
}

QTEST_GUILESS_MAIN(TestKeyTool)
#include "tst_keytool.moc"
