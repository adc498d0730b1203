#include "checksignaturetaskspecification.h"
#include "signallog.h"
#include "tomcryptutil.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString helloMd5 = u"5d41402abc4b2a76b9719d911017c592"_s;

} // namespace

class TestCheckSignatureTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();
    void knownDigestIsComparedWithoutReadingTheFile_data();
    void knownDigestIsComparedWithoutReadingTheFile();
    void shortReadOfRealFile();
    void lateResultAfterResetIsIgnored();

private:
    void writeFile(const QString& name, const QByteArray& data);
    // Runs the task to its end; its log with the verdicts, P standing for the checked path.
    [[nodiscard]] QStringList runCheck(const QString& file, const QString& md5,
                                       const QByteArray& knownMd5 = {});

    QTemporaryDir dir;
};

void TestCheckSignatureTaskSpecification::initTestCase()
{
    QVERIFY(dir.isValid());
    crypt_init();
}

void TestCheckSignatureTaskSpecification::writeFile(const QString& name, const QByteArray& data)
{
    QFile file(dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

QStringList TestCheckSignatureTaskSpecification::runCheck(const QString& file, const QString& md5,
                                                          const QByteArray& knownMd5)
{
    CheckSignatureTaskSpecification task(file, md5, nullptr, 0.5);
    task.setKnownMd5(knownMd5);
    SignalLog log;
    log.watchTask(&task, u"check"_s);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    [&] { QTRY_COMPARE(finished.count() + canceled.count(), 1); }();
    return log.take().replaceInStrings(file, u"P"_s);
}

void TestCheckSignatureTaskSpecification::check_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expectedMd5"); // empty: signature check
    // How the files are made: "valid", "tampered" or "truncated" signature, "missing" signature
    // or "no file" at all; empty for an MD5 check.
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QStringList>("expectedLog");

    const QStringList passed{u"check progress 0.5"_s, u"check finished"_s};
    const QStringList failed{u"check message Signature check failed for P"_s,
                             u"check canceled ErrorCanceled"_s};
    const QString ini = u"[client]\nvq3client_linux_amd64=abc::12\n"_s;

    QTest::newRow("md5 in upper case") << "hello"_ba << helloMd5.toUpper() << QString() << passed;
    QTest::newRow("md5 of empty file")
            << QByteArray() << u"D41D8CD98F00B204E9800998ECF8427E"_s << QString() << passed;
    QTest::newRow("md5 mismatch fails") << "hellO"_ba << helloMd5 << QString() << failed;
    QTest::newRow("md5 mismatch by a trailing newline fails")
            << "hello\n"_ba << helloMd5 << QString() << failed;
    QTest::newRow("file missing")
            << QByteArray() << helloMd5 << u"no file"_s
            << QStringList{u"check message Could not open file P for reading"_s} + failed;
#ifdef DEVELOPMENT_PRIVATE_KEY
    QTest::newRow("signed file") << ini.toUtf8() << QString() << u"valid"_s << passed;
    QTest::newRow("signed empty file") << QByteArray() << QString() << u"valid"_s << passed;
    QTest::newRow("file changed after signing")
            << ini.toUtf8() << QString() << u"tampered"_s << failed;
    QTest::newRow("malformed signature") << ini.toUtf8() << QString() << u"truncated"_s << failed;
    QTest::newRow("signature missing")
            << ini.toUtf8() << QString() << u"missing"_s
            << QStringList{u"check message Could not open file P.sig for reading"_s} + failed;
#endif
}

void TestCheckSignatureTaskSpecification::check()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expectedMd5);
    QFETCH(QString, signature);
    QFETCH(QStringList, expectedLog);
    const QString name = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_');
    if (signature != u"no file")
        writeFile(name, content);
#ifdef DEVELOPMENT_PRIVATE_KEY
    if (signature == u"valid" || signature == u"tampered" || signature == u"truncated") {
        ScopedRsaKey key;
        key.load(DEVELOPMENT_PRIVATE_KEY);
        unsigned char sig[512];
        unsigned long length = sizeof sig;
        sign_msg(key.get(), reinterpret_cast<const unsigned char*>(content.constData()),
                 content.size(), sig, &length);
        QCOMPARE(length, 128UL);
        writeFile(name + u".sig"_s, QByteArray(reinterpret_cast<const char*>(sig),
                                               qsizetype(length - (signature == u"truncated"))));
        if (signature == u"tampered")
            writeFile(name, content + ' ');
    }
#endif
    QCOMPARE(runCheck(dir.filePath(name), expectedMd5), expectedLog);
}

void TestCheckSignatureTaskSpecification::knownDigestIsComparedWithoutReadingTheFile_data()
{
    QTest::addColumn<QByteArray>("known");
    QTest::addColumn<QStringList>("expectedLog");
    QTest::newRow("same digest, other letter case")
            << helloMd5.toUpper().toLatin1()
            << QStringList{u"check progress 0.5"_s, u"check finished"_s};
    QTest::newRow("other digest fails")
            << "d41d8cd98f00b204e9800998ecf8427e"_ba
            << QStringList{u"check message Signature check failed for P"_s,
                           u"check canceled ErrorCanceled"_s};
}

void TestCheckSignatureTaskSpecification::knownDigestIsComparedWithoutReadingTheFile()
{
    QFETCH(QByteArray, known);
    QFETCH(QStringList, expectedLog);
    // No file: reading it would add a line saying it cannot be opened.
    QCOMPARE(runCheck(dir.filePath(u"absent"_s), helloMd5, known), expectedLog);
}

void TestCheckSignatureTaskSpecification::shortReadOfRealFile()
{
    // Kernel attribute files claim a page but yield a few bytes: shorter than their size even
    // for root.
    for (const QString& file : {u"/sys/kernel/mm/transparent_hugepage/enabled"_s,
                                u"/sys/power/state"_s, u"/sys/kernel/address_bits"_s}) {
        QFile probe(file);
        if (probe.open(QIODevice::ReadOnly) && probe.size() > probe.readAll().size()) {
            QCOMPARE(runCheck(file, helloMd5),
                     (QStringList{u"check message could not read file P correctly"_s,
                                  u"check message Signature check failed for P"_s,
                                  u"check canceled ErrorCanceled"_s}));
            return;
        }
    }
    QSKIP("no file in /sys reads shorter than its size here");
}

void TestCheckSignatureTaskSpecification::lateResultAfterResetIsIgnored()
{
    writeFile(u"late"_s, "hello"_ba);
    CheckSignatureTaskSpecification task(dir.filePath(u"late"_s), helloMd5, nullptr, 1.0);
    SignalLog log;
    log.watchTask(&task, u"check"_s);

    task.execute();
    task.reset(); // returns once the body has posted its result
    bool drained = false;
    QMetaObject::invokeMethod(
            this, [&drained] { drained = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(drained);

    QCOMPARE(log.events(), QStringList{u"check progress 0"_s});
    QCOMPARE(task.state(), TaskSpecification::Idle);
}

QTEST_GUILESS_MAIN(TestCheckSignatureTaskSpecification)
#include "tst_checksignaturetaskspecification.moc"
