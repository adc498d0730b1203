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
    void signAndVerify();
    void verifyFailures_data();
    void verifyFailures();
    void genkeyKeepsExistingKeys();
    void usage_data();
    void usage();
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
}

void TestKeyTool::signAndVerify()
{
    writeFile(path(u"client.ini"_s), "[files]\nclient::0123::4\n"_ba);
    const Result signed_ = run({u"sign"_s, path(u"private.key"_s), path(u"client.ini"_s)});
    QCOMPARE(signed_.exitCode, 0);
    QCOMPARE(QFileInfo(path(u"client.ini.sig"_s)).size(), 128);
    const Result verified = run({u"verify"_s, path(u"public.key"_s), path(u"client.ini"_s)});
    QCOMPARE(verified.exitCode, 0);
    QVERIFY(verified.err.isEmpty());
}

void TestKeyTool::verifyFailures_data()
{
    QTest::addColumn<QString>("mutation");
    QTest::addColumn<QString>("expectedError");

    QTest::newRow("file changed") << u"change"_s << u"does not match"_s;
    QTest::newRow("signature missing") << u"no signature"_s << u"Cannot open file for reading: "_s;
    QTest::newRow("signature truncated") << u"truncate"_s << u"rsa_verify_hash: "_s;
    QTest::newRow("wrong key") << u"other key"_s << u"rsa_verify_hash"_s;
}

void TestKeyTool::verifyFailures()
{
    QFETCH(QString, mutation);
    QFETCH(QString, expectedError);

    const QString file = path(u"data.bin"_s);
    writeFile(file, "payload"_ba);
    QCOMPARE(run({u"sign"_s, path(u"private.key"_s), file}).exitCode, 0);
    QString publicKey = path(u"public.key"_s);

    if (mutation == u"change") {
        writeFile(file, "Payload"_ba);
    } else if (mutation == u"no signature") {
        QVERIFY(QFile::remove(file + u".sig"_s));
        expectedError += file + u".sig"_s;
    } else if (mutation == u"truncate") {
        QVERIFY(QFile::resize(file + u".sig"_s, 64));
    } else {
        publicKey = path(u"other_public.key"_s);
        QCOMPARE(run({u"genkey"_s, path(u"other_private.key"_s), publicKey}).exitCode, 0);
    }

    const Result verified = run({u"verify"_s, publicKey, file});
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

void TestKeyTool::developmentKeyPairMatches()
{
    const QString keys = QString::fromLocal8Bit(KEYS_DIR);
    const QString file = path(u"dev.txt"_s);
    writeFile(file, "development release"_ba);
    QCOMPARE(run({u"sign"_s, keys + u"/development_private.key"_s, file}).exitCode, 0);
    QCOMPARE(run({u"verify"_s, keys + u"/development_public.key"_s, file}).exitCode, 0);
}

QTEST_GUILESS_MAIN(TestKeyTool)
#include "tst_keytool.moc"
