#include "sha256.h"
#include "zstdpatch.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestZstdPatch : public QObject
{
    Q_OBJECT

private slots:
    void appliesWhatItMade_data();
    void appliesWhatItMade();
    void refusesWhatDoesNotFit_data();
    void refusesWhatDoesNotFit();
};

void TestZstdPatch::appliesWhatItMade_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<qsizetype>("maxPatchSize");
    // Random bytes do not compress: only what the source gives makes the patch small.
    const QByteArray old = randomBytes(3 << 20, 1);
    QByteArray changed = old;
    changed.replace(1 << 20, 5, "fixed");
    changed.insert(2 << 20, randomBytes(4096, 2));
    // Moved further than a compressor's usual window reaches.
    const QByteArray moved = old.mid(2 << 20) + old.first(2 << 20);
    QTest::newRow("a few places changed") << old << changed << qsizetype(8 << 10);
    QTest::newRow("parts moved") << old << moved << qsizetype(1 << 10);
    QTest::newRow("from nothing") << QByteArray() << old.first(1000) << qsizetype(1100);
    QTest::newRow("to nothing") << old << QByteArray() << qsizetype(64);
}

void TestZstdPatch::appliesWhatItMade()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, target);
    QFETCH(qsizetype, maxPatchSize);
    QByteArray patch;
    QString error;
    QVERIFY2(ZstdPatch::make(source, target, patch, error), qPrintable(error));
    QVERIFY2(patch.size() <= maxPatchSize, qPrintable(QString::number(patch.size())));

    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(u"old"_s), source));
    QVERIFY(writeFile(dir.filePath(u"patch"_s), patch));
    QByteArray sha256;
    QVERIFY2(ZstdPatch::apply(dir.filePath(u"old"_s), dir.filePath(u"patch"_s),
                              dir.filePath(u"new"_s), target.size(), sha256, error),
             qPrintable(error));
    QCOMPARE(readFile(dir.filePath(u"new"_s)), target);
    QCOMPARE(sha256, Sha256::hexOf(target));
}

void TestZstdPatch::refusesWhatDoesNotFit_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("error"); // %1: the patch file
    QTest::newRow("another source") << u"source"_s << u"the patch %1 does not apply: "_s;
    QTest::newRow("a byte changed") << u"flip"_s << u"the patch %1 does not apply: "_s;
    QTest::newRow("cut short") << u"cut"_s << u"the patch %1 ends early"_s;
    QTest::newRow("bytes after its end") << u"append"_s << u"the patch %1 goes on after its end"_s;
    QTest::newRow("more than expected") << u"limit"_s << u"the patch %1 makes more than 99 bytes"_s;
}

void TestZstdPatch::refusesWhatDoesNotFit()
{
    QFETCH(QString, damage);
    QFETCH(QString, error);
    const QByteArray source = randomBytes(1 << 20, 3);
    QByteArray target = source;
    target.replace(5000, 3, "new");
    QByteArray patch;
    QString why;
    QVERIFY(ZstdPatch::make(source, target, patch, why));
    QTemporaryDir dir;
    const QString patchFile = dir.filePath(u"patch"_s);
    if (damage == u"flip")
        patch[patch.size() / 2] = char(patch.at(patch.size() / 2) ^ 0x40);
    else if (damage == u"cut")
        patch.chop(10);
    else if (damage == u"append")
        patch.append("more");
    QVERIFY(writeFile(patchFile, patch));
    QVERIFY(writeFile(dir.filePath(u"old"_s),
                      damage == u"source" ? randomBytes(1 << 20, 4) : source));

    QByteArray sha256;
    QVERIFY(!ZstdPatch::apply(dir.filePath(u"old"_s), patchFile, dir.filePath(u"new"_s),
                              damage == u"limit" ? 99 : target.size(), sha256, why));
    QVERIFY2(why.startsWith(error.arg(patchFile)), qPrintable(why));
    QVERIFY(sha256.isEmpty());
}

QTEST_GUILESS_MAIN(TestZstdPatch)
#include "tst_zstdpatch.moc"
