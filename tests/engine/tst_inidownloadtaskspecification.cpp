#include "httpserver.h"
#include "inidownloadtaskspecification.h"
#include "mirrors.h"
#include "releasemanifest.h"
#include "runcontext.h"
#include "sha256.h"
#include "signallog.h"
#include "testfiles.h"
#include "testrelease.h"
#include "tomcryptutil.h"
#include "workpool.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {

const QString clientType = u"client_test"_s;
constexpr int version = 7;

// The step's own lines, joined into one text so that a mismatch shows both logs whole; the
// downloads' lines and progress are checked elsewhere.
QString stepLines(QStringList events)
{
    events.removeIf([](const QString& e) {
        return e.contains(u" progress "_s) || e.contains(u" message Downloading "_s);
    });
    return events.join(u'\n');
}

QString lines(const QStringList& events)
{
    return events.join(u'\n');
}

} // namespace

// One mirror on the test server serving a signed release of version 7; the step downloads into
// a temporary directory of its own.
class IniFixture
{
public:
    IniFixture()
    {
        release.addFile(u"bin"_s, u"client"_s, "client bytes"_ba);
        server.setServedDirectory(mirrorRoot.path());
        context.launch.clientType = clientType;
        context.launch.clientVersion = version;
        context.session = SessionLayout(tempDir.path());
        // Without a manifest key: the product ini's RSA signature alone, as in an updater built
        // without one.
    }

    [[nodiscard]] bool prepare(int maxRetries = IniDownloadTaskSpecification::defaultMaxRetries,
                               int slotCount = 4)
    {
        if (!release.publish(mirrorRoot.filePath(u"m1"_s)))
            return false;
        QSettings settings(mirrorsFile.filePath(u"mirrors.ini"_s), QSettings::IniFormat);
        settings.beginWriteArray(u"mirrors"_s);
        settings.setArrayIndex(0);
        settings.setValue(u"mirror"_s, u"m1"_s);
        settings.endArray();
        settings.setValue(u"m1/url"_s, server.urlText(u"/m1"_s));
        settings.sync();
        if (!mirrors.initDefault(mirrorsFile.filePath(u"mirrors.ini"_s), version))
            return false;
        mirrors.shareSlots(slotCount);
        task = std::make_unique<IniDownloadTaskSpecification>(&manager, &mirrors, context, nullptr,
                                                              1.0, maxRetries);
        log.watchTask(task.get(), u"ini"_s);
        return true;
    }

    [[nodiscard]] QString localIni() const { return tempDir.filePath(clientType + u".ini"_s); }
    [[nodiscard]] QString remoteIni() const { return u"/m1/"_s + release.iniPath(); }

    // Runs the step to its end and lets whatever it queued afterwards happen too.
    [[nodiscard]] bool runToEnd()
    {
        task->execute();
        if (!QTest::qWaitFor([this] { return task->state() > TaskSpecification::Running; }, 20000))
            return false;
        WorkPool::instance()->waitForDone();
        for (int i = 0; i < 5; ++i)
            QCoreApplication::sendPostedEvents();
        return true;
    }

    QTemporaryDir mirrorRoot;
    QTemporaryDir mirrorsFile;
    QTemporaryDir tempDir;
    TestHttpServer server;
    TestRelease release{version, clientType};
    RunContext context;
    QNetworkAccessManager manager;
    Mirrors mirrors;
    SignalLog log;
    std::unique_ptr<IniDownloadTaskSpecification> task;
};

class TestIniDownloadTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { crypt_init(); }
    void downloadsAndVerifies_data();
    void downloadsAndVerifies();
    void reusesValidLocalCopies();
    void staleLocalCopiesAreFetchedAgain();
    void missingSignatureEverywhereFails();
    void givesUpAfterTheRetryLimit();
    void laterRetriesWait_data();
    void laterRetriesWait();
    void userCancelDuringFailingCheckStopsRetrying();
    void checksTheManifest_data();
    void checksTheManifest();
};

void TestIniDownloadTaskSpecification::downloadsAndVerifies_data()
{
    QTest::addColumn<int>("slotCount");
    QTest::newRow("all at once") << 4;
    // A fetch of unknown size gives its slot back once hashed, after its transfer has ended.
    QTest::newRow("one at a time") << 1;
}

void TestIniDownloadTaskSpecification::downloadsAndVerifies()
{
    QFETCH(int, slotCount);
    IniFixture f;
    QVERIFY(f.prepare(IniDownloadTaskSpecification::defaultMaxRetries, slotCount));
    QVERIFY(f.runToEnd());

    QCOMPARE(stepLines(f.log.events()),
             lines(QStringList{u"ini message Download / check product ini"_s, u"ini finished"_s}));
    QStringList requested = f.server.requestedPaths();
    requested.sort();
    QCOMPARE(requested, (QStringList{f.remoteIni(), f.remoteIni() + u".sig"_s}));
    QFile ini(f.localIni());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), f.release.productIni());
    QCOMPARE(f.log.events().last(), u"ini finished"_s);
    QCOMPARE(f.task->progress(), 1.0);
}

void TestIniDownloadTaskSpecification::reusesValidLocalCopies()
{
    IniFixture f;
    QVERIFY(TestRelease::writeFile(f.localIni(), f.release.productIni()));
    QVERIFY(TestRelease::writeFile(f.localIni() + u".sig"_s,
                                   TestRelease::sign(f.release.productIni())));
    QVERIFY(TestRelease::writeFile(f.tempDir.filePath(u"bin/client"_s), "client"));
    QVERIFY(f.prepare());
    QVERIFY(f.runToEnd());

    // Fetched afresh to be compared: the same release, so the session's downloads stay.
    QCOMPARE(f.server.requestCount(f.remoteIni()), 1);
    QVERIFY(QFile::exists(f.tempDir.filePath(u"bin/client"_s)));
    QCOMPARE(stepLines(f.log.events()),
             lines(QStringList{u"ini message Download / check product ini"_s, u"ini finished"_s}));
}

void TestIniDownloadTaskSpecification::staleLocalCopiesAreFetchedAgain()
{
    IniFixture f;
    QVERIFY(TestRelease::writeFile(f.localIni(), "[old]\nfile=abc::1\n"_ba));
    QVERIFY(TestRelease::writeFile(f.localIni() + u".sig"_s,
                                   TestRelease::sign(f.release.productIni())));
    QVERIFY(TestRelease::writeFile(f.tempDir.filePath(u"bin/client"_s), "old client"));
    QVERIFY(f.prepare());
    QVERIFY(f.runToEnd());

    // A release republished since: the kept copies and the downloads made for them go.
    QCOMPARE(stepLines(f.log.events()),
             lines(QStringList{u"ini message Download / check product ini"_s,
                               u"ini message The release on the mirrors is not the one the "
                               u"interrupted update fetched; its downloads are discarded"_s,
                               u"ini finished"_s}));
    QStringList requested = f.server.requestedPaths();
    requested.sort();
    QCOMPARE(requested, (QStringList{f.remoteIni(), f.remoteIni() + u".sig"_s}));
    QCOMPARE(readFile(f.localIni()), f.release.productIni());
    QVERIFY(!QFile::exists(f.tempDir.filePath(u"bin"_s)));
}

void TestIniDownloadTaskSpecification::missingSignatureEverywhereFails()
{
    IniFixture f;
    QVERIFY(f.prepare());
    QVERIFY(QFile::remove(f.mirrorRoot.filePath(u"m1/"_s + f.release.iniPath() + u".sig"_s)));
    QVERIFY(f.runToEnd());

    QCOMPARE(f.task->state(), TaskSpecification::ErrorCanceled);
    const QStringList events = f.log.events();
    QVERIFY(!events.join(u'\n').contains(u"Retrying"_s));
    QCOMPARE(events.filter(u"ini canceled"_s), QStringList{u"ini canceled ErrorCanceled"_s});
    QVERIFY(!events.contains(u"ini finished"_s));
}

void TestIniDownloadTaskSpecification::givesUpAfterTheRetryLimit()
{
    IniFixture f;
    QVERIFY(f.prepare(2));
    // The mirror serves a signature of other bytes: every verification fails.
    QVERIFY(TestRelease::writeFile(
            f.mirrorRoot.filePath(u"m1/"_s + f.release.iniPath() + u".sig"_s),
            TestRelease::sign("something else")));
    QVERIFY(f.runToEnd());

    const QString failed = u"ini message Signature check failed for "_s +
                           IniDownloadTaskSpecification::fetchedPath(f.localIni());
    QCOMPARE(stepLines(f.log.events()),
             lines(QStringList{
                     u"ini message Download / check product ini"_s, failed,
                     u"ini message Could not verify the product ini file. Retrying"_s, failed,
                     u"ini message Could not verify the product ini file. Retrying"_s, failed,
                     u"ini message Could not verify the product ini file. Aborting"_s,
                     u"ini canceled ErrorCanceled"_s}));
    QCOMPARE(f.task->state(), TaskSpecification::ErrorCanceled);
    QCOMPARE(f.server.requestCount(f.remoteIni()), 3);
}

void TestIniDownloadTaskSpecification::laterRetriesWait_data()
{
    QTest::addColumn<int>("retry");
    QTest::addColumn<double>("jitter");
    QTest::addColumn<int>("milliseconds");
    QTest::newRow("first ones at once") << 3 << 1.0 << 0;
    QTest::newRow("then from half a second") << 4 << 0.0 << 500;
    QTest::newRow("doubled, jitter takes up to half off") << 7 << 1.0 << 2000;
    QTest::newRow("capped") << 1000 << 0.0 << 30000;
}

// The delays, and a cancel during a wait ends the step at once.
void TestIniDownloadTaskSpecification::laterRetriesWait()
{
    QFETCH(int, retry);
    QFETCH(double, jitter);
    QFETCH(int, milliseconds);
    QCOMPARE(IniDownloadTaskSpecification::retryDelay(retry, jitter).count(), milliseconds);
    IniFixture f;
    QVERIFY(f.prepare());
    QVERIFY(TestRelease::writeFile(
            f.mirrorRoot.filePath(u"m1/"_s + f.release.iniPath() + u".sig"_s), "bad signature"));
    f.task->execute();
    QTRY_VERIFY(f.log.events().join(u'\n').contains(u"ini file. Retrying in 0."_s));
    f.task->userCanceled();
    QCOMPARE(f.task->state(), TaskSpecification::UserCanceled);
    QCOMPARE(f.server.requestCount(f.remoteIni()),
             IniDownloadTaskSpecification::immediateRetries + 1);
}

void TestIniDownloadTaskSpecification::userCancelDuringFailingCheckStopsRetrying()
{
    IniFixture f;
    QVERIFY(TestRelease::writeFile(f.localIni(), "stale"_ba));
    QVERIFY(TestRelease::writeFile(f.localIni() + u".sig"_s, TestRelease::sign("other")));
    QVERIFY(f.prepare());
    f.task->execute();
    // The check runs on the pool and cannot be stopped; the cancel must outlive the retry.
    f.task->userCanceled();
    QTRY_VERIFY(f.task->state() > TaskSpecification::Running);

    QCOMPARE(f.task->state(), TaskSpecification::UserCanceled);
    QVERIFY(f.server.requests().isEmpty());
}

void TestIniDownloadTaskSpecification::checksTheManifest_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("failure"); // empty: the stage passes
    const QString failed = u"ini message Release manifest check failed: "_s;
    QTest::newRow("as published") << QString() << QString();
    QTest::newRow("another client type")
            << u"type"_s << failed + u"it describes client type client_other, not client_test"_s;
    QTest::newRow("an older version under this version's path")
            << u"version"_s << failed + u"it describes version 6, not 7"_s;
    QTest::newRow("another product ini")
            << u"ini"_s
            << failed + u"the product ini has SHA-256 %1 and %2 bytes, the manifest lists "
                        u"0000000000000000000000000000000000000000000000000000000000000000 and "
                        u"%2 bytes"_s;
    QTest::newRow("signed by another key")
            << u"signature"_s << failed + u"the Ed25519 signature does not match"_s;
    QTest::newRow("no manifest") << u"missing"_s << QString();
}

void TestIniDownloadTaskSpecification::checksTheManifest()
{
    QFETCH(QString, change);
    QFETCH(QString, failure);
    IniFixture f;
    f.context.manifestKey = TestRelease::manifestPublicKey();
    QVERIFY(f.prepare(1));
    ReleaseManifest manifest = f.release.manifest();
    const QString manifestFile = f.mirrorRoot.filePath(u"m1/7/client_test.manifest"_s);
    if (change == u"type")
        manifest.setClientType(u"client_other"_s);
    else if (change == u"version")
        manifest.setVersion(6);
    else if (change == u"ini")
        manifest.setProductIni(QByteArray(64, '0'), manifest.productIniSize());
    QVERIFY(f.release.publishManifest(f.mirrorRoot.filePath(u"m1"_s), manifest));
    if (change == u"signature")
        QVERIFY(TestRelease::writeFile(manifestFile + u".sig"_s, QByteArray(64, 'x')));
    if (change == u"missing")
        QVERIFY(QFile::remove(manifestFile));
    if (change.isEmpty()) {
        // The ini is held back until all four files were asked for: they are fetched at once.
        f.server.setRoute(f.remoteIni(), TestHttpServer::Behaviour::stall(f.release.productIni()));
        QObject::connect(&f.server, &TestHttpServer::requestReceived, &f.server, [&f] {
            if (f.server.requests().size() == 4)
                f.server.resumeStalled();
        });
    }
    QVERIFY(f.runToEnd());

    const QStringList events = f.log.events();
    if (change.isEmpty()) {
        QCOMPARE(f.task->state(), TaskSpecification::Finished);
        QCOMPARE(f.server.requestedPaths().size(), 4);
    } else if (failure.isEmpty()) {
        // Without a manifest no mirror serves this release.
        QCOMPARE(f.task->state(), TaskSpecification::ErrorCanceled);
        QVERIFY(!events.join(u'\n').contains(u"Retrying"_s));
    } else {
        const QByteArray ini = f.release.productIni();
        failure = failure.arg(QString::fromLatin1(Sha256::hexOf(ini)), QString::number(ini.size()));
        QCOMPARE(events.filter(u"Release manifest"_s), QStringList({failure, failure}));
        QCOMPARE(events.filter(u"Could not verify"_s).last(),
                 u"ini message Could not verify the product ini file. Aborting"_s);
        QCOMPARE(f.task->state(), TaskSpecification::ErrorCanceled);
    }
}

QTEST_MAIN(TestIniDownloadTaskSpecification)
#include "tst_inidownloadtaskspecification.moc"
