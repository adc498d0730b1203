#include "binarypatch.h"
#include "mappedfile.h"
#include "sha256.h"
#include "suffixpatch.h"
#include "zstdpatch.h"

#include <QFile>
#include <QLibraryInfo>
#include <QRandomGenerator>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <thread>

using Method = BinaryPatch::Method;

using namespace Qt::StringLiterals;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

// source with a byte changed every 32 to 95 bytes by one of a few amounts, as in a build where
// code moved: the differences that xz packs smaller.
QByteArray movedAddresses(QByteArray source, quint32 seed)
{
    QRandomGenerator generator(seed);
    constexpr char moves[] = {0x10, char(0xe0), 0x23};
    for (qsizetype at = 0; at < source.size(); at += 32 + generator.bounded(64))
        source[at] = char(source[at] + moves[generator.bounded(3)]);
    return source;
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

bool make(Method method, QByteArrayView source, QByteArrayView target, QByteArray& patch,
          QString& error)
{
    const Result<QByteArray> made = method != Method::Zstd ? SuffixPatch::make(source, target)
                                                           : ZstdPatch::make(source, target);
    patch = made.ok() ? made.value() : QByteArray();
    error = made.ok() ? QString() : made.failure().text;
    return made.ok();
}

// Every row once for each method.
template<typename... Values>
void addRows(const char* name, const Values&... values)
{
    for (const Method method : {Method::Zstd, Method::Suffix})
        ((QTest::addRow("%s: %s", BinaryPatch::nameOf(method).data(), name) << method)
         << ... << values);
}

qint64 anonymousKiB()
{
    const QByteArray status = readFile(u"/proc/self/status"_s);
    const qsizetype at = status.indexOf("RssAnon:");
    return at < 0 ? -1
                  : status.mid(at + 8, status.indexOf('\n', at) - at - 8)
                            .trimmed()
                            .split(' ')
                            .value(0)
                            .toLongLong();
}

// A file of size bytes, all zeros but for a seeded 64 KiB every 256 MiB.
bool writeSparse(const QString& path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        return false;
    for (qint64 at = 0; at < size; at += qint64(256) << 20)
        if (!file.seek(at) || file.write(randomBytes(64 << 10, seed++)) != (64 << 10))
            return false;
    return true;
}

} // namespace

class TestBinaryPatch : public QObject
{
    Q_OBJECT

private slots:
    void appliesWhatItMade_data();
    void appliesWhatItMade();
    void refusesWhatDoesNotFit_data();
    void refusesWhatDoesNotFit();
    void twoGibibytesTakeLittleMemory();
};

void TestBinaryPatch::appliesWhatItMade_data()
{
    QTest::addColumn<Method>("method");
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
    addRows("a few places changed", old, changed, qsizetype(8 << 10));
    // A long stretch whose new content stands elsewhere in the old file, a few bytes apart from
    // what was in its place: searching it again at every byte would take quadratic time.
    const QByteArray zeros(2 << 20, '\0');
    const QByteArray edited = QByteArray(zeros).replace(1 << 20, 4, "edit");
    const QByteArray runs = old.first(4096) + zeros + old.first(4096) + edited;
    const QByteArray runsChanged = old.first(4096) + edited + old.first(4096) + edited;
    addRows("a long run edited", runs, runsChanged, qsizetype(1 << 10));
    addRows("parts moved", old, moved, qsizetype(1 << 10));
    addRows("from nothing", QByteArray(), old.first(1000), qsizetype(1100));
    addRows("to nothing", old, QByteArray(), qsizetype(96));
    // Real programs: two builds of much the same code, and two unrelated ones.
    const QByteArray ls = readFile(u"/usr/bin/ls"_s);
    const QByteArray dir = readFile(u"/usr/bin/dir"_s);
    const QByteArray zlib =
            readFile(QLibraryInfo::path(QLibraryInfo::LibrariesPath) + u"/libz.so.1"_s);
    addRows("ls to dir", ls, dir, dir.size() / 8);
    addRows("dir to ls", dir, ls, ls.size() / 8);
    addRows("ls to zlib", ls, zlib, zlib.size());
    QTest::newRow("suffix-xz: addresses moved")
            << Method::SuffixXz << old << movedAddresses(old, 3) << qsizetype(128 << 10);
}

void TestBinaryPatch::appliesWhatItMade()
{
    QFETCH(Method, method);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, target);
    QFETCH(qsizetype, maxPatchSize);
    QByteArray patch;
    QString error;
    QVERIFY2(make(method, source, target, patch, error), qPrintable(error));
    QVERIFY2(patch.size() <= maxPatchSize, qPrintable(QString::number(patch.size())));
    if (method != Method::Zstd)
        QCOMPARE(SuffixPatch::methodOf(patch), method);

    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(u"old"_s), source));
    QVERIFY(writeFile(dir.filePath(u"patch"_s), patch));
    const Result<QByteArray> sha256 =
            BinaryPatch::apply(method, dir.filePath(u"old"_s), dir.filePath(u"patch"_s),
                               dir.filePath(u"new"_s), target.size());
    QVERIFY2(sha256.ok(), qPrintable(sha256.ok() ? QString() : sha256.failure().text));
    QCOMPARE(readFile(dir.filePath(u"new"_s)), target);
    QCOMPARE(sha256.value(), Sha256::hexOf(target));
}

void TestBinaryPatch::refusesWhatDoesNotFit_data()
{
    QTest::addColumn<Method>("method");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("error"); // %1: the patch file
    addRows("another source", u"source"_s, u"the patch %1 does not apply: "_s);
    addRows("a byte changed", u"flip"_s, u"the patch %1 does not apply: "_s);
    addRows("cut short", u"cut"_s, u"the patch %1 ends early"_s);
    addRows("bytes after its end", u"append"_s, u"the patch %1 goes on after its end"_s);
    addRows("more than expected", u"limit"_s, u"the patch %1 makes more than 99 bytes"_s);
    // Written on the second thread: its failure still ends the apply, with the reason.
    QTest::newRow("suffix: a full disk")
            << Method::Suffix << u"full"_s
            << u"Could not write file /dev/full: No space left on device"_s;
    QTest::newRow("suffix-xz: its differences damaged")
            << Method::SuffixXz << u"differences"_s << u"the patch %1 does not apply: "_s;
    QTest::newRow("suffix: a step past the old file's end")
            << Method::Suffix << u"past"_s
            << u"the patch %1 does not apply: a step reads outside the old file"_s;
    QTest::newRow("suffix: a zstd patch")
            << Method::Suffix << u"zstd"_s
            << u"the patch %1 does not apply: not a patch of this kind"_s;
}

void TestBinaryPatch::refusesWhatDoesNotFit()
{
    QFETCH(Method, method);
    QFETCH(QString, damage);
    QFETCH(QString, error);
    const QByteArray source = randomBytes(1 << 20, 3);
    QByteArray target = method == Method::SuffixXz ? movedAddresses(source, 5) : source;
    // The old file's second half, which the patch's last step then reads.
    if (damage == u"past")
        target = source.mid(source.size() / 2);
    target.replace(5000, 3, "new");
    QByteArray patch;
    QString why;
    QVERIFY(make(damage == u"zstd" ? Method::Zstd : method, source, target, patch, why));
    if (method == Method::SuffixXz)
        QCOMPARE(SuffixPatch::methodOf(patch), method);
    QTemporaryDir dir;
    const QString patchFile = dir.filePath(u"patch"_s);
    if (damage == u"flip")
        patch[patch.size() - 2] = char(patch.at(patch.size() - 2) ^ 0x40);
    else if (damage == u"cut")
        patch.chop(10);
    else if (damage == u"append")
        patch.append("more");
    else if (damage == u"differences") // halfway into them, after the magic and five sizes
        patch[48 + qFromLittleEndian<qint64>(patch.constData() + 24) +
              qFromLittleEndian<qint64>(patch.constData() + 32) / 2] ^= 0x40;
    else if (damage == u"past") // said to be made from the old file's first quarter
        qToLittleEndian(quint64(source.size() / 4), patch.data() + 8);
    QVERIFY(writeFile(patchFile, patch));
    // Of the same size, so that only the content tells it from the right one.
    QVERIFY(writeFile(dir.filePath(u"old"_s), damage == u"source" ? randomBytes(1 << 20, 4)
                                              : damage == u"past" ? source.first(source.size() / 4)
                                                                  : source));

    const QString newFile = damage == u"full" ? u"/dev/full"_s : dir.filePath(u"new"_s);
    const Result<QByteArray> applied =
            BinaryPatch::apply(method, dir.filePath(u"old"_s), patchFile, newFile,
                               damage == u"limit" ? 99 : target.size());
    // A suffix patch adds its differences to whatever old file it is given, here at the same
    // places: the result's digest, which every caller compares, tells that it was another.
    if (method == Method::Suffix && damage == u"source") {
        QVERIFY(applied.ok());
        QByteArray expected = randomBytes(1 << 20, 4);
        for (qsizetype i = 0; i < expected.size(); ++i)
            expected[i] = char(expected.at(i) + target.at(i) - source.at(i));
        QCOMPARE(readFile(newFile), expected);
        QCOMPARE(applied.value(), Sha256::hexOf(expected));
        return;
    }
    QVERIFY(!applied.ok());
    why = applied.failure().text;
    QVERIFY2(why.startsWith(error.contains(u"%1"_s) ? error.arg(patchFile) : error),
             qPrintable(why));
}

// The largest file that gets a patch, made from mapped files: the apply's own memory stays small.
void TestBinaryPatch::twoGibibytesTakeLittleMemory()
{
    const qint64 size = BinaryPatch::maxFileSize;
    QTemporaryDir dir;
    if (QStorageInfo(dir.path()).bytesAvailable() < 3 * size)
        QSKIP("needs 6 GiB of free disk space");
    QVERIFY(writeSparse(dir.filePath(u"old"_s), size, 5));
    QVERIFY(writeSparse(dir.filePath(u"new"_s), size, 6));
    const Result<MappedFile> old = MappedFile::openForReading(dir.filePath(u"old"_s));
    const Result<MappedFile> made = MappedFile::openForReading(dir.filePath(u"new"_s));
    QVERIFY(old.ok() && made.ok());
    QByteArray patch;
    QString error;
    QVERIFY2(make(Method::Zstd, old.value().view(), made.value().view(), patch, error),
             qPrintable(error));
    QVERIFY(writeFile(dir.filePath(u"patch"_s), patch));
    const QByteArray expected = Sha256::hexOf(made.value().view());

    const qint64 before = anonymousKiB();
    std::atomic<qint64> peak = before;
    std::atomic<bool> done = false;
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak.load(), anonymousKiB());
            QThread::usleep(500);
        }
    });
    const Result<QByteArray> applied =
            BinaryPatch::apply(Method::Zstd, dir.filePath(u"old"_s), dir.filePath(u"patch"_s),
                               dir.filePath(u"applied"_s), size);
    done = true;
    sampler.join();
    QVERIFY2(applied.ok(), qPrintable(applied.ok() ? QString() : applied.failure().text));
    QCOMPARE(applied.value(), expected);
    QVERIFY2(peak - before < 100 * 1024, qPrintable(u"%1 KiB"_s.arg(peak - before)));
}

QTEST_GUILESS_MAIN(TestBinaryPatch)
#include "tst_binarypatch.moc"
