#include "wholefile.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QByteArray pattern(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char((i * 31) ^ (i >> 9));
    return data;
}

} // namespace

class TestWholeFile : public QObject
{
    Q_OBJECT

private slots:
    void digest_data();
    void digest();
    void missingFile();
    void streamDevice_data();
    void streamDevice();

private:
    QTemporaryDir dir;
};

void TestWholeFile::digest_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("md5");
    QTest::newRow("empty") << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e"_ba;
    QTest::newRow("short") << "abc"_ba
                           << "900150983cd24fb0d6963f7d28e17f72"_ba;
    // Over several blocks, the last one partly filled.
    const QByteArray large = pattern(3 * WholeFile::blockSize + 17);
    QTest::newRow("several blocks")
            << large << QCryptographicHash::hash(large, QCryptographicHash::Md5).toHex();
}

void TestWholeFile::digest()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, md5);
    const QString path = dir.filePath(u"file"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
    file.close();

    WholeFile wholeFile(path);
    QByteArray digest;
    QVERIFY(wholeFile.md5(digest));
    QCOMPARE(digest, md5);
    QVERIFY(wholeFile.matchesMd5(QString::fromLatin1(md5.toUpper())));
    QVERIFY(!wholeFile.matchesMd5(u"0"_s + QString::fromLatin1(md5.chopped(1))));
    QByteArray read;
    QVERIFY(wholeFile.readAll(read));
    QCOMPARE(read, content);
    QVERIFY(wholeFile.errorString().isEmpty());
}

void TestWholeFile::missingFile()
{
    const QString path = dir.filePath(u"missing"_s);
    WholeFile wholeFile(path);
    QByteArray digest = "stale";
    QVERIFY(!wholeFile.md5(digest));
    QVERIFY(digest.isEmpty());
    QCOMPARE(wholeFile.errorString(), u"Could not open file %1 for reading"_s.arg(path));
    QVERIFY(!wholeFile.matchesMd5(u"d41d8cd98f00b204e9800998ecf8427e"_s));
}

void TestWholeFile::streamDevice_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("complete");
    QTest::newRow("whole device") << qint64(3000000) << true;
    QTest::newRow("only the size is read") << qint64(1000) << true;
    QTest::newRow("device shorter than its size") << qint64(3000001) << false;
}

void TestWholeFile::streamDevice()
{
    QFETCH(qint64, size);
    QFETCH(bool, complete);
    QByteArray content = pattern(3000000);
    QBuffer device(&content);
    QVERIFY(device.open(QIODevice::ReadOnly));

    QByteArray consumed;
    qsizetype largest = 0;
    QCOMPARE(WholeFile::streamDevice(device, size,
                                     [&](QByteArrayView block) {
                                         consumed.append(block);
                                         largest = qMax(largest, block.size());
                                     }),
             complete);
    QCOMPARE(consumed, content.left(size));
    // Memory use must not grow with the file.
    QVERIFY(largest <= WholeFile::blockSize);
}

QTEST_GUILESS_MAIN(TestWholeFile)
#include "tst_wholefile.moc"
