#include "ed25519.h"
#include "enginefixture.h"
#include "inidownloadtaskspecification.h"
#include "replacejournal.h"
#include "sha256.h"
#include "startrepair.h"
#include "testfiles.h"
#include "treesnapshot.h"
#include "updateinidata.h"

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <sys/mount.h>

using namespace Qt::StringLiterals;

namespace {

// Installed files that the updater makes executable: by name, or by the part of the name after
// its first dot.
bool isExecutable(const QString& path)
{
    static const QStringList names{u"vq3client_linux_x86"_s,    u"vq3client_linux_amd64"_s,
                                   u"vq3client_runscript.sh"_s, u"update"_s,
                                   u"fault_beacon"_s,           u"bundle_wright"_s};
    const QFileInfo info(path);
    return names.contains(info.fileName()) ||
           QStringList{u"so"_s, u"so.4"_s}.contains(info.completeSuffix());
}

// The tree a release leaves in the application root, on top of what was there before: the
// installed files with their modes, the directories the update had to make.
TreeSnapshot expectedTree(TreeSnapshot tree, const TestRelease& release)
{
    for (const ReleaseFile& file : release.files()) {
        const bool compressed = !file.unpackedName.isEmpty();
        const QString path = compressed ? file.unpackedName : file.key;
        for (QString dir = QFileInfo(path).path(); dir != u"."; dir = QFileInfo(dir).path()) {
            if (!tree.entries().contains(dir))
                tree.addDir(dir, TreeSnapshot::newDirMode());
        }
        const uint mode = isExecutable(path) ? 0755 : TreeSnapshot::newFileMode();
        tree.addFile(path, compressed ? file.unpacked : file.content, mode);
    }
    return tree;
}

// "update.ini" holds the session record while a run goes on; the trees compare without it.
TreeSnapshot rootTree(const EngineFixture& f)
{
    TreeSnapshot tree = TreeSnapshot::take(f.root.path());
    tree.remove(u"update.ini"_s);
    return tree;
}

bool writeInstalled(const EngineFixture& f, const QString& path, const QByteArray& content)
{
    return TestRelease::writeFile(f.root.filePath(path), content);
}

// A tmpfs of its own over a directory for as long as the object lives: a disk that fills up.
class SmallFileSystem
{
public:
    SmallFileSystem(const QString& path, int kilobytes)
        : path(QFile::encodeName(path))
    {
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0700";
        mounted = ::mount("tmpfs", this->path.constData(), "tmpfs", 0, options.constData()) == 0;
    }
    ~SmallFileSystem()
    {
        if (mounted)
            ::umount2(path.constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    const QByteArray path;
    bool mounted = false;
};

// Bytes that no compression shrinks, so that they take their size on any file system.
QByteArray incompressible(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(7);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

class TestUpdateRun : public QObject
{
    Q_OBJECT

private slots:
    void freshInstall();
    void incrementalUpdate();
    void nothingChanged();
    void failingUnpackRollsEverythingBack();
    void cancelledRunIsResumed();
    void selfUpdateKeepsBackupsForNextStart();
    void unverifiedProductIniInstallsNothing();
    void fileMatchingOnlyItsMd5InstallsNothing();
    void patchesOrWholeFiles_data();
    void patchesOrWholeFiles();
    void killedReplacementIsRepaired_data();
    void killedReplacementIsRepaired();
    void fullDisk_data();
    void fullDisk();

private:
    // Runs the engine once to its end; true when it finished, false when it was cancelled.
    [[nodiscard]] static bool runOnce(EngineFixture& f, UpdateEngine& engine);
};

bool TestUpdateRun::runOnce(EngineFixture& f, UpdateEngine& engine)
{
    engine.reset();
    if (!engine.initialize())
        return false;
    f.log.clear();
    // A real event loop: polling waits would add their sleeps to every step of the run.
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&engine, &UpdateEngine::updateFinished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QObject::connect(&engine, &UpdateEngine::updateCanceled, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    engine.startUpdate();
    loop.exec();
    return finished;
}

void TestUpdateRun::freshInstall()
{
    EngineFixture f(false);
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "the client"_ba);
    f.release.addFile(u"bin"_s, u"vq3client_runscript.sh"_s, "#!/bin/sh\n"_ba);
    f.release.addFile(u"lib"_s, u"lib/libvoice.so.4"_s, QByteArray(70000, 'v'));
    f.release.addCompressedFile(u"data"_s, u"sounds/ring.wav.gz"_s, QByteArray(90000, 'r'),
                                u"sounds/ring.wav"_s);
    QVERIFY(f.publish());
    const TreeSnapshot before = rootTree(f);
    UpdateEngine& engine = f.makeEngine();

    QVERIFY(runOnce(f, engine));

    COMPARE_TREES(rootTree(f), expectedTree(before, f.release));
    QVERIFY(!UpdateIniData::get(f.installation()));
    QCOMPARE(QDir(f.systemTemp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
}

void TestUpdateRun::incrementalUpdate()
{
    EngineFixture f(false);
    // Version 6 as installed.
    QVERIFY(writeInstalled(f, u"vq3client_linux_amd64"_s, "client 6"_ba));
    QVERIFY(writeInstalled(f, u"docs/readme.txt"_s, "unchanged"_ba));
    QVERIFY(writeInstalled(f, u"sounds/ring.wav"_s, "ring 6"_ba));
    QVERIFY(writeInstalled(f, u"plugins/old.so"_s, "gone in 7"_ba));
    // Version 7: changed, unchanged, changed and compressed, added, deleted.
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "client 7"_ba);
    f.release.addFile(u"bin"_s, u"docs/readme.txt"_s, "unchanged"_ba);
    f.release.addCompressedFile(u"data"_s, u"sounds/ring.wav.gz"_s, QByteArray(40000, '7'),
                                u"sounds/ring.wav"_s);
    f.release.addFile(u"lib"_s, u"plugins/new/codec.so"_s, "new codec"_ba);
    f.release.addDelete(u"plugins/old.so"_s);
    QVERIFY(f.publish());
    TreeSnapshot expected = rootTree(f);
    expected.remove(u"plugins/old.so"_s);
    UpdateEngine& engine = f.makeEngine();

    QVERIFY(runOnce(f, engine));

    const TreeSnapshot expectedAfter = expectedTree(expected, f.release);
    COMPARE_TREES(rootTree(f), expectedAfter);
    // The unchanged file was neither downloaded nor replaced.
    QCOMPARE(f.server.requestCount(u"/m1/7/bin/docs/readme.txt"_s), 0);
    QVERIFY(!f.log.events().join(u'\n').contains(u"readme.txt"_s));
    QVERIFY(!UpdateIniData::get(f.installation()));
}

void TestUpdateRun::nothingChanged()
{
    EngineFixture f(false);
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "client 7"_ba);
    f.release.addCompressedFile(u"data"_s, u"sounds/ring.wav.gz"_s, "ring 7"_ba,
                                u"sounds/ring.wav"_s);
    QVERIFY(f.publish());
    QVERIFY(writeInstalled(f, u"vq3client_linux_amd64"_s, "client 7"_ba));
    QVERIFY(writeInstalled(f, u"sounds/ring.wav"_s, "ring 7"_ba));
    const TreeSnapshot before = rootTree(f);
    UpdateEngine& engine = f.makeEngine();

    QVERIFY(runOnce(f, engine));

    COMPARE_TREES(rootTree(f), before);
    // An updater built without a manifest key never asks for the manifest, as older ones did.
    QStringList expected{u"/m1/"_s + f.release.iniPath(),
                         u"/m1/"_s + f.release.iniPath() + u".sig"_s};
    if (!Ed25519::builtInKey().isEmpty())
        expected << u"/m1/7/client_test.manifest"_s << u"/m1/7/client_test.manifest.sig"_s;
    QStringList requested = f.server.requestedPaths();
    requested.sort();
    expected.sort();
    QCOMPARE(requested, expected);
}

void TestUpdateRun::failingUnpackRollsEverythingBack()
{
    EngineFixture f(false);
    QVERIFY(writeInstalled(f, u"vq3client_linux_amd64"_s, "client 6"_ba));
    QVERIFY(writeInstalled(f, u"sounds/ring.wav"_s, "ring 6"_ba));
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "client 7"_ba);
    f.release.addFile(u"lib"_s, u"new/dir/codec.so"_s, "new codec"_ba);
    // Listed as compressed, but not gzip data: the download checks out, the unpacking fails.
    ReleaseFile broken{u"data"_s, u"sounds/ring.wav.gz"_s, "not gzip at all"_ba, "ring 7"_ba,
                       u"sounds/ring.wav"_s};
    TestRelease release(version, clientType);
    for (const ReleaseFile& file : f.release.files())
        release.addFile(file.section, file.key, file.content);
    release.addRawEntry(broken);
    QVERIFY(f.publish(release));
    const TreeSnapshot before = rootTree(f);
    UpdateEngine& engine = f.makeEngine();

    QVERIFY(!runOnce(f, engine));

    COMPARE_TREES(rootTree(f), before);
    QVERIFY(f.log.events().join(u'\n').contains(u"rolling back file updates"_s));
    QString tempDir;
    QVERIFY(UpdateIniData::get(f.installation(), nullptr, nullptr, &tempDir));
    QVERIFY(QFile::exists(tempDir + u"/sounds/ring.wav.gz"_s));
}

void TestUpdateRun::cancelledRunIsResumed()
{
    EngineFixture f(false);
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "client 7"_ba);
    f.release.addFile(u"data"_s, u"big.bin"_s, QByteArray(300000, 'b'));
    QVERIFY(f.publish());
    f.server.setRoute(u"/m1/7/data/big.bin"_s,
                      TestHttpServer::Behaviour::stall(QByteArray(300000, 'b'), 1000));
    const TreeSnapshot before = rootTree(f);
    UpdateEngine& engine = f.makeEngine();
    QSignalSpy canceled(&engine, &UpdateEngine::updateCanceled);

    QVERIFY(engine.initialize());
    const QString tempDir = f.tempDir();
    engine.startUpdate();
    // The small file whole, not only begun: the next run must find it complete.
    QTRY_VERIFY_WITH_TIMEOUT(f.server.requestCount(u"/m1/7/data/big.bin"_s) == 1 &&
                                     QFileInfo(tempDir + u"/vq3client_linux_amd64"_s).size() ==
                                             qint64(sizeof("client 7") - 1),
                             20000);
    engine.cancelUpdate();
    QTRY_COMPARE(canceled.count(), 1);
    COMPARE_TREES(rootTree(f), before);

    // The mirror is repaired; the next run resumes in the same directory.
    f.server.removeRoute(u"/m1/7/data/big.bin"_s);
    f.server.clearRequests();
    QVERIFY(runOnce(f, engine));

    QCOMPARE(f.log.events().first(), u"message Starting update process"_s);
    QCOMPARE(f.server.requestCount(u"/m1/7/bin/vq3client_linux_amd64"_s), 0);
    QCOMPARE(f.server.requestCount(u"/m1/7/data/big.bin"_s), 1);
    COMPARE_TREES(rootTree(f), expectedTree(before, f.release));
    QVERIFY(!QFileInfo::exists(tempDir));
}

void TestUpdateRun::selfUpdateKeepsBackupsForNextStart()
{
    EngineFixture f(false);
    QVERIFY(writeInstalled(f, u"update"_s, "updater 6"_ba));
    QVERIFY(writeInstalled(f, u"imageformats/libqjpeg.so"_s, "jpeg 6"_ba));
    QVERIFY(writeInstalled(f, u"vq3client_linux_amd64"_s, "client 6"_ba));
    f.release.addFile(u"bin"_s, u"update"_s, "updater 7"_ba);
    f.release.addFile(u"bin"_s, u"imageformats/libqjpeg.so"_s, "jpeg 7"_ba);
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "client 7"_ba);
    QVERIFY(f.publish());
    const TreeSnapshot before = rootTree(f);
    UpdateEngine& engine = f.makeEngine();

    QVERIFY(runOnce(f, engine));

    // The running program and its plug-ins are in use: their backups stay until the next start.
    TreeSnapshot expected = expectedTree(before, f.release);
    expected.addFile(u"_old_update"_s, "updater 6"_ba, TreeSnapshot::newFileMode());
    expected.addFile(u"imageformats/_old_libqjpeg.so"_s, "jpeg 6"_ba, TreeSnapshot::newFileMode());
    COMPARE_TREES(rootTree(f), expected);
    QCOMPARE(QFileInfo(f.root.filePath(u"update"_s)).permissions() & 0x0777, 0x0755);

    StartRepair::removeOldFiles(f.installation(), f.root.path());
    StartRepair::removeOldFiles(f.installation(), f.root.filePath(u"imageformats"_s));
    expected.remove(u"_old_update"_s);
    expected.remove(u"imageformats/_old_libqjpeg.so"_s);
    COMPARE_TREES(rootTree(f), expected);
}

void TestUpdateRun::unverifiedProductIniInstallsNothing()
{
    EngineFixture f(false);
    QVERIFY(writeInstalled(f, u"vq3client_linux_amd64"_s, "client 6"_ba));
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "client 7"_ba);
    QVERIFY(f.publish());
    // A signature of other bytes: every verification fails, up to the retry limit.
    QVERIFY(TestRelease::writeFile(
            f.mirrorRoot.filePath(u"m1/"_s + f.release.iniPath() + u".sig"_s),
            TestRelease::sign("another product ini")));
    const TreeSnapshot before = rootTree(f);
    UpdateEngine& engine = f.makeEngine();
    // The limit is tested here, not the waits between attempts: each is cut short.
    const auto cutShort = [&engine](const QString& line) {
        if (line.contains(u"Retrying in"_s))
            engine.findChild<IniDownloadTaskSpecification*>()->findChild<QTimer*>()->start(0);
    };
    connect(&engine, &UpdateEngine::message, &engine, cutShort, Qt::QueuedConnection);

    QVERIFY(!runOnce(f, engine));

    COMPARE_TREES(rootTree(f), before);
    const QStringList lines = f.log.events();
    QCOMPARE(lines.filter(u"Retrying"_s).size(), 1000);
    QVERIFY(lines.contains(u"message Could not verify the product ini file. Aborting"_s));
    QVERIFY(!lines.join(u'\n').contains(u"Compiling download and replace list"_s));
    QCOMPARE(f.server.requestCount(u"/m1/7/bin/vq3client_linux_amd64"_s), 0);
}

void TestUpdateRun::fileMatchingOnlyItsMd5InstallsNothing()
{
    if (Ed25519::builtInKey().isEmpty())
        QSKIP("an updater built without a manifest key trusts the MD5 sums alone");
    EngineFixture f(false);
    QVERIFY(writeInstalled(f, u"vq3client_linux_amd64"_s, "client 6"_ba));
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "client 7"_ba);
    QVERIFY(f.publish());
    // The vendor's manifest lists another SHA-256 digest: the mirror's bytes, which match the
    // product ini's MD5 sum, were made to look right.
    const ReleaseManifest published = f.release.manifest();
    ReleaseManifest doctored;
    doctored.setClientType(published.clientType());
    doctored.setVersion(published.version());
    doctored.setReleased(published.released());
    doctored.setProductIni(published.productIniSha256(), published.productIniSize());
    for (ReleaseManifestFile file : published.files()) {
        file.sha256 = Sha256::hexOf("other bytes");
        QVERIFY(doctored.addFile(file));
    }
    QVERIFY(f.release.publishManifest(f.mirrorRoot.filePath(u"m1"_s), doctored));
    const TreeSnapshot before = rootTree(f);
    UpdateEngine& engine = f.makeEngine();

    QVERIFY(!runOnce(f, engine));

    COMPARE_TREES(rootTree(f), before);
    QVERIFY(f.log.events().contains(u"message sha256 sum for vq3client_linux_amd64 failed, "
                                    u"invalidating mirror and retrying"_s));
}

void TestUpdateRun::patchesOrWholeFiles_data()
{
    QTest::addColumn<QString>("situation");
    // In the log, with the patch's <url>, the <saved> bytes and the session directory <temp>.
    QTest::addColumn<QString>("line");
    QTest::newRow("patched") << QString()
                             << u"Patches made 1 files; <saved> bytes fewer downloaded"_s;
    QTest::newRow("packed and patched")
            << u"packed"_s << u"Patches made 1 files; <saved> bytes fewer downloaded"_s;
    QTest::newRow("suffix method")
            << u"suffix"_s << u"Patches made 1 files; <saved> bytes fewer downloaded"_s;
    // The manifest names a method from after this updater: the whole file, and no word of it.
    QTest::newRow("a method this updater does not know") << u"later method"_s << QString();
    QTest::newRow("left by a killed apply")
            << u"killed"_s << u"Patches made 1 files; <saved> bytes fewer downloaded"_s;
    QTest::newRow("damaged on the mirror")
            << u"damaged"_s
            << u"Patch for vq3client_linux_amd64 not used (the patch has SHA-256 "_s;
    QTest::newRow("missing on the mirror")
            << u"missing"_s << u"Patch for vq3client_linux_amd64 not used (<url> returned 404)"_s;
    QTest::newRow("installed copy changed by hand") << u"other source"_s << QString();
    // A patch result of an earlier run, cut short, with the patch gone from every mirror.
    QTest::newRow("stale patch result in a resumed session")
            << u"stale"_s
            << u"Discarded <temp>/vq3client_linux_amd64.gz.unpacked: it is not the file the "
               u"release lists"_s;
}

void TestUpdateRun::patchesOrWholeFiles()
{
    QFETCH(QString, situation);
    QFETCH(QString, line);
    if (Ed25519::builtInKey().isEmpty())
        QSKIP("patches are listed in the release manifest only");
    EngineFixture f(false);
    const QByteArray old = incompressible(200000);
    QByteArray changed = old;
    changed.replace(1000, 6, "client");
    const bool packed = situation == u"packed" || situation == u"stale";
    const QString key = packed ? u"vq3client_linux_amd64.gz"_s : u"vq3client_linux_amd64"_s;
    if (packed)
        f.release.addCompressedFile(u"bin"_s, key, TestRelease::gzip(changed),
                                    u"vq3client_linux_amd64"_s);
    else
        f.release.addFile(u"bin"_s, key, changed);
    // Keeps the first run busy while it is cancelled.
    f.release.addFile(u"data"_s, u"big.bin"_s, QByteArray(300000, 'b'));
    const bool suffix = situation == u"suffix" || situation == u"later method";
    const QString patch = u"/m1/7/"_s + f.release.addPatch(u"bin"_s, key, old,
                                                           suffix ? BinaryPatch::Method::Suffix
                                                                  : BinaryPatch::Method::Zstd);
    QVERIFY(f.publish());
    if (situation == u"later method") {
        const QString manifest =
                f.mirrorRoot.path() + u"/m1/"_s + f.release.iniPath().chopped(4) + u".manifest"_s;
        const QByteArray text =
                readFile(manifest).replace("patch-with\tsuffix", "patch-with\tlater");
        QVERIFY(TestRelease::writeFile(manifest, text) &&
                TestRelease::writeFile(manifest + u".sig"_s, TestRelease::signManifest(text)));
    }
    QVERIFY(writeInstalled(f, u"vq3client_linux_amd64"_s,
                           situation == u"other source" ? changed.first(100) : old));
    if (situation == u"damaged") {
        QByteArray bytes = readFile(f.mirrorRoot.path() + patch);
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
        f.server.setRoute(patch, TestHttpServer::Behaviour::serve(bytes));
    }
    if (situation == u"missing" || situation == u"stale")
        f.server.setRoute(patch, TestHttpServer::Behaviour::notFound());
    TreeSnapshot before = rootTree(f);
    UpdateEngine& engine = f.makeEngine();
    if (situation == u"stale") {
        QVERIFY(engine.initialize());
        QVERIFY(TestRelease::writeFile(f.tempDir() + u"/vq3client_linux_amd64.gz.unpacked"_s,
                                       changed.first(1000)));
    }
    if (situation == u"killed") {
        // A run stopped while the patch was being applied: the patch is there, the result half.
        f.server.setRoute(u"/m1/7/data/big.bin"_s, TestHttpServer::Behaviour::stall({}, 0));
        QVERIFY(engine.initialize());
        engine.startUpdate();
        const QString tempDir = f.tempDir();
        // Stopped once the patch is applied: its result appears only when it is whole.
        QTRY_VERIFY_WITH_TIMEOUT(f.server.requestCount(u"/m1/7/data/big.bin"_s) == 1 &&
                                         QFileInfo(tempDir + u"/vq3client_linux_amd64"_s).size() ==
                                                 changed.size(),
                                 20000);
        engine.cancelUpdate();
        // Ended, whichever failure or cancel came first.
        QTRY_VERIFY(!f.log.events().filter(u"updateCanceled"_s).isEmpty());
        QVERIFY(QFileInfo::exists(tempDir + u'/' + patch.mid(6)));
        QVERIFY(TestRelease::writeFile(tempDir + u"/vq3client_linux_amd64.patching"_s, "half"));
        QVERIFY(QFile::remove(tempDir + u"/vq3client_linux_amd64"_s));
        f.server.removeRoute(u"/m1/7/data/big.bin"_s);
        f.server.clearRequests();
    }
    QVERIFY2(runOnce(f, engine), qPrintable(f.log.events().join(u'\n')));

    COMPARE_TREES(rootTree(f), expectedTree(before, f.release));
    const bool patched = line.startsWith(u"Patches made"_s);
    QCOMPARE(f.server.requestCount(u"/m1/7/bin/"_s + key), patched ? 0 : 1);
    QCOMPARE(f.server.requestCount(patch),
             situation == u"killed" || situation == u"other source" || situation == u"later method"
                     ? 0
                     : 1);
    const qint64 saved =
            f.release.files().first().content.size() - f.release.manifest().patches().first().size;
    if (!line.isEmpty())
        QVERIFY2(!f.log.events()
                          .filter(line.replace(u"<url>"_s, f.server.urlText(patch))
                                          .replace(u"<saved>"_s, QString::number(saved))
                                          .replace(u"<temp>"_s, f.tempDir()))
                          .isEmpty(),
                 qPrintable(f.log.events().join(u'\n')));
}

void TestUpdateRun::killedReplacementIsRepaired_data()
{
    QTest::addColumn<int>("killedVersion"); // the version the killed run was installing
    QTest::addColumn<bool>("nextRunFails");
    QTest::newRow("same version") << version << false;
    QTest::newRow("another version, whose run then fails") << version - 2 << true;
}

// What a run killed in its replacement left is undone by the next start, before anything else,
// to exactly the old version, whatever that start goes on to do: the originals come back over
// the new files, new files and directories and part files go, and a moved download goes back to
// the session directory. A user's own "_old_" file stays.
void TestUpdateRun::killedReplacementIsRepaired()
{
    QFETCH(int, killedVersion);
    QFETCH(bool, nextRunFails);
    EngineFixture f(false);
    QVERIFY(writeInstalled(f, u"vq3client_linux_amd64"_s, "client 6"_ba));
    QVERIFY(writeInstalled(f, u"lib/libvoice.so"_s, "voice 6"_ba));
    QVERIFY(writeInstalled(f, u"_old_notes.txt"_s, "the user's own"_ba));
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "client 7"_ba);
    f.release.addFile(u"lib"_s, u"lib/libvoice.so"_s, "voice 7"_ba);
    f.release.addFile(u"lib"_s, u"share/new/readme.txt"_s, "new in 7"_ba);
    QVERIFY(f.publish());
    if (nextRunFails)
        QVERIFY(QFile::remove(f.mirrorRoot.filePath(u"m1/"_s + f.release.iniPath())));
    const TreeSnapshot before = rootTree(f);

    // The killed run had backed up the client and was writing its new copy; the library and the
    // new file were in place, moved from the session directory.
    const QString session = f.sessionDirectory(0);
    ReplaceJournal journal(f.installation(), session);
    QVERIFY(QDir().mkpath(session));
    QVERIFY(journal.recordDirectories({u"share"_s, u"share/new"_s}) &&
            journal.recordReplace(u"lib/libvoice.so"_s, u"lib/libvoice.so"_s) &&
            journal.recordAdd(u"share/new/readme.txt"_s, u"share/new/readme.txt"_s) &&
            journal.recordReplace(u"vq3client_linux_amd64"_s, u"vq3client_linux_amd64"_s) &&
            journal.sync());
    QVERIFY(QDir().mkpath(session + u"/lib"_s) && QDir().mkpath(session + u"/share/new"_s));
    QVERIFY(QFile::rename(f.root.filePath(u"lib/libvoice.so"_s),
                          f.root.filePath(u"lib/_old_libvoice.so"_s)));
    QVERIFY(writeInstalled(f, u"lib/libvoice.so"_s, "voice 7"_ba));
    QVERIFY(writeInstalled(f, u"share/new/readme.txt"_s, "new in 7"_ba));
    QVERIFY(QFile::copy(f.root.filePath(u"vq3client_linux_amd64"_s),
                        f.root.filePath(u"_old_vq3client_linux_amd64"_s)));
    QVERIFY(writeInstalled(f, u".sonavelle_part_vq3client_linux_amd64"_s, "clie"_ba));
    UpdateIniData::modify(f.installation(), killedVersion, session, clientType);
    UpdateEngine& engine = f.makeEngine();

    QVERIFY(engine.initialize());

    QVERIFY2(f.log.events().contains(
                     u"message Restored %1, left at %2 by an interrupted update"_s.arg(
                             f.root.filePath(u"lib/libvoice.so"_s),
                             f.root.filePath(u"lib/_old_libvoice.so"_s))),
             qPrintable(f.log.events().join(u'\n')));
    COMPARE_TREES(rootTree(f), before);
    QCOMPARE(runOnce(f, engine), !nextRunFails);
    COMPARE_TREES(rootTree(f), nextRunFails ? before : expectedTree(before, f.release));
    // The downloads the killed run had moved into place were given back, not fetched again.
    if (killedVersion == version)
        QCOMPARE(f.server.requestCount(u"/m1/7/lib/lib/libvoice.so"_s), 0);
}

void TestUpdateRun::fullDisk_data()
{
    QTest::addColumn<bool>("applicationRoot"); // else the temporary directory fills up
    // The designed texts; %1 the download, %2 the installed file. A write that fails outright
    // and one that gets only part of its bytes onto the disk say it differently.
    QTest::addColumn<QString>("designedText");
    // The reason the window shows; %1 the full directory.
    QTest::addColumn<QString>("reason");
    QTest::newRow("temporary directory")
            << false
            << u"^message (No space left on device|Error writing to file %1\\. Should write \\d+ "
               u"bytes but wrote \\d+ bytes)$"_s
            << u"updateCanceled: Not enough disk space in %1/lib"_s;
    QTest::newRow("application root") << true << u"^message Could not copy '%1' to '%2'$"_s
                                      << u"updateCanceled: Not enough disk space in %1/lib"_s;
}

// A disk that fills up ends the run cancelled with the designed texts; the installation is as it
// was, no part of a file is left in it, and the session keeps only what arrived correctly.
void TestUpdateRun::fullDisk()
{
    QFETCH(bool, applicationRoot);
    QFETCH(QString, designedText);
    QFETCH(QString, reason);
    EngineFixture f(false);
    const SmallFileSystem disk(applicationRoot ? f.root.path() : f.systemTemp.path(), 256);
    if (!disk.mounted)
        QSKIP("mounting a small file system needs the right to mount (root)");
    QVERIFY(writeInstalled(f, u"vq3client_linux_amd64"_s, "client 6"_ba));
    QVERIFY(writeInstalled(f, u"lib/libvoice.so"_s, "voice 6"_ba));
    f.release.addFile(u"bin"_s, u"vq3client_linux_amd64"_s, "client 7"_ba);
    f.release.addFile(u"lib"_s, u"lib/libvoice.so"_s, incompressible(400 * 1024));
    QVERIFY(f.publish());
    const TreeSnapshot before = rootTree(f);
    UpdateEngine& engine = f.makeEngine();

    QVERIFY(!runOnce(f, engine));

    const QString log = f.log.events().join(u'\n');
    const QString tempDir = f.tempDir();
    const QRegularExpression text(
            designedText.arg(QRegularExpression::escape(tempDir + u"/lib/libvoice.so"_s),
                             QRegularExpression::escape(f.root.filePath(u"lib/libvoice.so"_s))),
            QRegularExpression::MultilineOption);
    QVERIFY2(log.contains(text), qPrintable(log));
    QCOMPARE(f.log.events().last(), reason.arg(applicationRoot ? f.root.path() : QString(tempDir)));
    COMPARE_TREES(rootTree(f), before);
    // What the session directory keeps is the start of the published files.
    QDirIterator it(tempDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString key = QDir(tempDir).relativeFilePath(file);
        if (key == u"replace.journal")
            continue;
        const QString published =
                key.startsWith(clientType + u'.')
                        ? f.mirrorRoot.filePath(u"m1/7/"_s + key)
                        : f.mirrorRoot.filePath(
                                  u"m1/7/"_s + (key.startsWith(u"lib/"_s) ? u"lib/"_s : u"bin/"_s) +
                                  key);
        // A download that did not fit stays as far as it got, for the next run to continue.
        QVERIFY2(!readFile(file).isEmpty() && readFile(published).startsWith(readFile(file)),
                 qPrintable(key));
    }
}

QTEST_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"
