#include "configuration.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "runcontext.h"
#include "runningbodies.h"
#include "sha256.h"
#include "signallog.h"
#include "tomcryptutil.h"
#include "workpool.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Test texts write digests as md5(content), or MD5(content) for the upper-case form.
QString expandDigests(QString text)
{
    static const QRegularExpression digest(u"(md5|MD5)\\(([^)]*)\\)"_s);
    for (auto m = digest.match(text); m.hasMatch(); m = digest.match(text)) {
        const QString hex = QString::fromLatin1(
                QCryptographicHash::hash(m.captured(2).toUtf8(), QCryptographicHash::Md5).toHex());
        text.replace(m.capturedStart(), m.capturedLength(),
                     m.captured(1) == u"MD5" ? hex.toUpper() : hex);
    }
    return text;
}

// One line per entry: downloads, then replacements, then deletions, each in list order.
QStringList describe(const FileSpecifications& lists)
{
    QStringList lines;
    for (const FileDownloadSpecification& d : lists.downloadList)
        lines.append(u"download %1|%2|%3|%4"_s.arg(d.sourceDir, d.fileName, d.md5).arg(d.size));
    for (const FileReplaceSpecification& r : lists.replaceList)
        lines.append(u"replace %1|%2|%3|%4|%5"_s.arg(r.sourceDir, r.fileName, r.unpackedMd5)
                             .arg(r.unpackedSize)
                             .arg(r.unpackedName));
    for (const QString& name : lists.deleteList)
        lines.append(u"delete "_s + name);
    return lines;
}

// A product ini of one section "dl" with the files "key=content", and a checked manifest of it.
std::pair<QString, ReleaseManifest> releaseOf(int version, const QStringList& files)
{
    QString ini = u"[dl]\n"_s;
    ReleaseManifest manifest;
    manifest.setVersion(version);
    for (const QString& file : files) {
        const QByteArray content = file.section(u'=', 1).toUtf8();
        ini += file.section(u'=', 0, 0) + u"=::%1\n"_s.arg(content.size());
        static_cast<void>(manifest.addFile({u"dl/"_s + file.section(u'=', 0, 0),
                                            Sha256::hexOf(content),
                                            content.size(),
                                            {},
                                            0}));
    }
    manifest.setProductIni(Sha256::hexOf(ini.toUtf8()), ini.toUtf8().size());
    return {ini, manifest};
}

const FileSpecifications earlierLists{
        {{u"earlier"_s, u"x"_s, u"0"_s, 1}}, {{u"earlier"_s, u"x"_s, {}, 0, {}}}, {u"earlier"_s}};

// Keeps the only pool thread busy until released, so that a body waits in the queue.
class PoolGate
{
public:
    PoolGate()
    {
        pool->setMaxThreadCount(1);
        pool->start([this] { gate.acquire(); });
    }
    ~PoolGate()
    {
        open();
        pool->waitForDone();
        pool->setMaxThreadCount(threads);
    }
    void open() { gate.release(); }

private:
    QThreadPool* pool = WorkPool::instance();
    const int threads = pool->maxThreadCount();
    QSemaphore gate;
};

} // namespace

class TestMakeDownloadReplaceList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { crypt_init(); } // an entry without digest falls back to a signature
    void init();
    void cleanup();
    void buildsLists_data();
    void buildsLists();
    void rejectsInvalidLines_data();
    void rejectsInvalidLines();
    void noFiles_data();
    void noFiles();
    void refusesAnUncheckedManifest();
    void progressPerEntry();
    void readsConfigurationWhenStarted();
    void taskDeletedBeforeBodyEnds();
    void replaceNames_data();
    void replaceNames();
    void pullsBackToTheOlderTree_data();
    void pullsBackToTheOlderTree();

private:
    // Each entry is "relative/path=content".
    void writeFiles(const QString& base, const QStringList& files);
    [[nodiscard]] QStringList runTask(FileSpecifications& lists, double weight = 1.0);

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QTemporaryDir> temp;
    RunContext context;
    std::optional<ReleaseManifest> manifest;
    std::optional<NewerRelease> newer;
};

void TestMakeDownloadReplaceList::init()
{
    root = std::make_unique<QTemporaryDir>();
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid() && temp->isValid());
    // The lists from the product ini alone; the release manifest adds only the SHA-256 digests.
    context = RunContext();
    context.launch.clientType = u"client_linux_amd64"_s;
    context.installation = InstallationLayout(root->path());
    context.session = SessionLayout(temp->path());
    manifest.reset();
    newer.reset();
}

void TestMakeDownloadReplaceList::cleanup()
{
    WorkPool::instance()->waitForDone();
}

void TestMakeDownloadReplaceList::writeFiles(const QString& base, const QStringList& files)
{
    for (const QString& entry : files) {
        const QString path = base + u'/' + entry.section(u'=', 0, 0);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write(expandDigests(entry.section(u'=', 1)).toUtf8()) >= 0);
    }
}

QStringList TestMakeDownloadReplaceList::runTask(FileSpecifications& lists, double weight)
{
    MakeDownloadReplaceListTaskSpecification task(context, manifest, nullptr, weight, newer);
    SignalLog log;
    log.watchTask(&task, u"lists"_s);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    [&] { QTRY_COMPARE(finished.count() + canceled.count(), 1); }();
    // Only a build that succeeded hands lists on.
    if (task.state() == TaskSpecification::Finished)
        lists = task.result();
    return log.take();
}

void TestMakeDownloadReplaceList::buildsLists_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QStringList>("downloaded");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("two fields, new file")
            << u"[dl]\nbin/x=md5(new)::10\n"_s << QStringList() << QStringList()
            << QStringList{u"download dl|bin/x|md5(new)|10"_s, u"replace dl|bin/x||0|"_s};
    QTest::newRow("five fields: unpacked file compared, download kept")
            << u"[dl]\nbin/x=md5(gz)::7::md5(new)::8::bin/y\n"_s
            << QStringList{u"bin/y=old"_s, u"bin/x=gz"_s} << QStringList{u"bin/x=gz"_s}
            << QStringList{u"replace dl|bin/x|md5(new)|8|bin/y"_s};
    QTest::newRow("installed files current, digest in any case")
            << u"[dl]\na=MD5(A)::1\nb=md5(gz)::7::md5(B)::8::c\n"_s
            << QStringList{u"a=A"_s, u"c=B"_s} << QStringList() << QStringList();
    QTest::newRow("installed file outdated, earlier download stale")
            << u"[dl]\nsub/a=md5(new)::3\n"_s << QStringList{u"sub/a=old"_s}
            << QStringList{u"sub/a=ne"_s}
            << QStringList{u"download dl|sub/a|md5(new)|3"_s, u"replace dl|sub/a||0|"_s};
    QTest::newRow("five fields, empty name: installed under the key, compared with field 1")
            << u"[dl]\nk=md5(K)::1::md5(U)::2::\nl=md5(L)::1::md5(U)::2::\n"_s
            << QStringList{u"k=K"_s, u"l=U"_s} << QStringList()
            << QStringList{u"download dl|l|md5(L)|1"_s, u"replace dl|l|md5(U)|2|"_s};
    QTest::newRow("two empty fields, sizes that are not numbers")
            << u"[dl]\nf=::\ng=md5(g)::-5\nh=md5(h)::99999999999999999999\n"_s << QStringList()
            << QStringList{u"f="_s}
            << QStringList{u"download dl|f||0"_s,       u"download dl|g|md5(g)|0"_s,
                           u"download dl|h|md5(h)|0"_s, u"replace dl|f||0|"_s,
                           u"replace dl|g||0|"_s,       u"replace dl|h||0|"_s};
    QTest::newRow("single colons and commas stay in their field")
            << u"[dl]\nf.gz=md5(z)::4::md5(u)::5::lib/a:b,c.so\ng=md5(g):::6\n"_s << QStringList()
            << QStringList()
            << QStringList{u"download dl|f.gz|md5(z)|4"_s, u"download dl|g|md5(g)|0"_s,
                           u"replace dl|f.gz|md5(u)|5|lib/a:b,c.so"_s, u"replace dl|g||0|"_s};
    QTest::newRow("delete entries that exist; Delete is a file section")
            << u"[delete]\nold/a=\nold/gone=\n[Delete]\ng=md5(g)::2\n"_s
            << QStringList{u"old/a=x"_s, u"g=x"_s} << QStringList()
            << QStringList{u"download Delete|g|md5(g)|2"_s, u"replace Delete|g||0|"_s,
                           u"delete old/a"_s};
    QTest::newRow("the updater's own files are never deleted")
            << u"[delete]\n./update.ini=\n_old_a=\nb=\n"_s
            << QStringList{u"update.ini=x"_s, u"_old_a=x"_s, u"b=x"_s} << QStringList()
            << QStringList{u"delete b"_s};
}

void TestMakeDownloadReplaceList::buildsLists()
{
    QFETCH(QString, ini);
    QFETCH(QStringList, installed);
    QFETCH(QStringList, downloaded);
    QFETCH(QStringList, expected);
    writeFiles(temp->path(), {u"client_linux_amd64.ini="_s + ini});
    writeFiles(root->path(), installed);
    writeFiles(temp->path(), downloaded);

    FileSpecifications lists = earlierLists;
    const QStringList log = runTask(lists);
    QCOMPARE(log.value(log.size() - 1), u"lists finished"_s);
    for (QString& line : expected)
        line = expandDigests(line);
    QCOMPARE(describe(lists), expected);
}

void TestMakeDownloadReplaceList::rejectsInvalidLines_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("section");

    QTest::newRow("one field") << u"[dl]\nf=md5(f)\n"_s << u"dl"_s;
    QTest::newRow("three fields") << u"[dl]\nf=md5(f)::1::md5(u)\n"_s << u"dl"_s;
    QTest::newRow("four fields") << u"[dl]\nf=md5(f)::1::md5(u)::2\n"_s << u"dl"_s;
    QTest::newRow("six fields") << u"[dl]\nf=md5(f)::1::md5(u)::2::a::b\n"_s << u"dl"_s;
    QTest::newRow("section ..") << u"[..]\nf=md5(f)::1\n"_s << u".."_s;
    QTest::newRow("section with backslash") << u"[x%5Cy]\nf=md5(f)::1\n"_s << u"x\\y"_s;
    QTest::newRow("section of blanks") << u"[%20]\nf=md5(f)::1\n"_s << u" "_s;
    QTest::newRow("key ..") << u"[dl]\n%2E%2E/f=md5(f)::1\n"_s << u"dl"_s;
    QTest::newRow("key with .. inside") << u"[dl]\na/../../f=md5(f)::1\n"_s << u"dl"_s;
    QTest::newRow("key with backslash") << u"[dl]\na%5Cb=md5(f)::1\n"_s << u"dl"_s;
    QTest::newRow("key with NUL") << u"[dl]\na%U0000b=md5(f)::1\n"_s << u"dl"_s;
    QTest::newRow("key of blanks") << u"[dl]\n%20=md5(f)::1\n"_s << u"dl"_s;
    QTest::newRow("absolute name") << u"[dl]\nf=md5(f)::1::md5(u)::2::/etc/x\n"_s << u"dl"_s;
    QTest::newRow("name with ..") << u"[dl]\nf=md5(f)::1::md5(u)::2::a/../../x\n"_s << u"dl"_s;
    QTest::newRow("name with backslash") << u"[dl]\nf=md5(f)::1::md5(u)::2::a\\\\b\n"_s << u"dl"_s;
    QTest::newRow("name with NUL") << u"[dl]\nf=\"md5(f)::1::md5(u)::2::a\\0b\"\n"_s << u"dl"_s;
    QTest::newRow("name of blanks") << u"[dl]\nf=\"md5(f)::1::md5(u)::2::   \"\n"_s << u"dl"_s;
    QTest::newRow("delete key ..") << u"[delete]\n%2E%2E/x=\n"_s << u"delete"_s;
    QTest::newRow("delete key with backslash") << u"[delete]\na%5Cb=\n"_s << u"delete"_s;
    QTest::newRow("delete key with NUL") << u"[delete]\na%U0000b=\n"_s << u"delete"_s;
    // The names the updater keeps for itself, as a file installed or deleted.
    QTest::newRow("installs update.ini")
            << u"[dl]\nupdate.ini=md5(f)::1\n"_s
            << u"dl: \"update.ini\": the name is that of the user's settings and the updater's "
               u"records"_s;
    QTest::newRow("unpacks over the lock")
            << u"[dl]\nf.gz=md5(f)::1::md5(u)::2::.update.lock\n"_s
            << u"dl: \".update.lock\": the name is that of the updater's lock, which keeps a "
               u"second updater off the installation"_s;
    QTest::newRow("after valid lines") << u"[a]\nf=::\n[b]\ng=::\nh=x\n"_s << u"b"_s;
}

void TestMakeDownloadReplaceList::rejectsInvalidLines()
{
    QFETCH(QString, ini);
    QFETCH(QString, section);
    writeFiles(temp->path(), {u"client_linux_amd64.ini="_s + ini});

    FileSpecifications lists = earlierLists;
    const QStringList log = runTask(lists);
    QCOMPARE(
            log.mid(log.size() - 3),
            (QStringList{u"lists progress 1"_s,
                         u"lists message Warning: product ini contains invalid line in section "_s +
                                 section,
                         u"lists canceled ErrorCanceled"_s}));
    QCOMPARE(lists, earlierLists);
}

void TestMakeDownloadReplaceList::noFiles_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::newRow("no product ini") << QStringList();
    QTest::newRow("comments only") << QStringList{u"client_linux_amd64.ini=; none\n"_s};
    QTest::newRow("keys outside sections") << QStringList{u"client_linux_amd64.ini=f=::\n"_s};
    QTest::newRow("empty sections") << QStringList{u"client_linux_amd64.ini=[dl]\n[delete]\n"_s};
}

void TestMakeDownloadReplaceList::noFiles()
{
    QFETCH(QStringList, files);
    writeFiles(temp->path(), files);
    FileSpecifications lists = earlierLists;
    QCOMPARE(runTask(lists), (QStringList{u"lists message Compiling download and replace list"_s,
                                          u"lists message No files in product ini"_s,
                                          u"lists canceled ErrorCanceled"_s}));
    QCOMPARE(lists, earlierLists);
}

void TestMakeDownloadReplaceList::refusesAnUncheckedManifest()
{
    // With a manifest key the digests come from a checked manifest, never from the ini alone.
    context.manifestKey = "key"_ba;
    writeFiles(temp->path(), {u"client_linux_amd64.ini=[dl]\na=md5(A)::1\n"_s});
    FileSpecifications lists = earlierLists;
    QCOMPARE(runTask(lists),
             (QStringList{u"lists message The release manifest has not been checked"_s,
                          u"lists canceled ErrorCanceled"_s}));
    QCOMPARE(lists, earlierLists);
}

void TestMakeDownloadReplaceList::progressPerEntry()
{
    writeFiles(temp->path(),
               {u"client_linux_amd64.ini=[delete]\nx=\n[dl]\na=::\nb=::\n[z]\nc=::"_s});
    FileSpecifications lists;
    QCOMPARE(runTask(lists, 0.5),
             (QStringList{u"lists message Compiling download and replace list"_s,
                          u"lists progress 0.125"_s, u"lists progress 0.25"_s,
                          u"lists progress 0.375"_s, u"lists progress 0.5"_s,
                          u"lists progress 0.5"_s, u"lists finished"_s}));
}

void TestMakeDownloadReplaceList::readsConfigurationWhenStarted()
{
    writeFiles(temp->path(),
               {u"client_linux_amd64.ini=[dl]\na=md5(A)::1\nb=md5(B)::1\n"_s, u"b=B"_s});
    writeFiles(root->path(), {u"a=A"_s});
    QTemporaryDir elsewhere;
    PoolGate gate;
    MakeDownloadReplaceListTaskSpecification task(context, std::nullopt, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);

    task.execute();
    context.launch.clientType = u"other_type"_s;
    context.session = SessionLayout(elsewhere.path());
    context.installation = InstallationLayout(elsewhere.path());
    gate.open();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(describe(task.result()), QStringList{u"replace dl|b||0|"_s});
}

void TestMakeDownloadReplaceList::taskDeletedBeforeBodyEnds()
{
    writeFiles(temp->path(), {u"client_linux_amd64.ini=[dl]\na=md5(A)::1\n"_s});
    {
        PoolGate gate;
        MakeDownloadReplaceListTaskSpecification(context, std::nullopt, nullptr, 1.0).execute();
    }
    // The body's late result finds no task: nothing may touch it.
    bool drained = false;
    QMetaObject::invokeMethod(
            this, [&drained] { drained = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(drained);
    QCOMPARE(RunningBodies::instance()->isIdle(), true);
}

void TestMakeDownloadReplaceList::replaceNames_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("unpackedName");
    QTest::addColumn<QString>("old");
    QTest::newRow("in the root") << u"a.so"_s << QString() << u"_old_a.so"_s;
    QTest::newRow("in a directory") << u"lib/x/a.so"_s << QString() << u"lib/x/_old_a.so"_s;
    QTest::newRow("unpacked") << u"pkg/x.gz"_s << u"bin/y"_s << u"bin/_old_y"_s;
}

void TestMakeDownloadReplaceList::replaceNames()
{
    QFETCH(QString, fileName);
    QFETCH(QString, unpackedName);
    QFETCH(QString, old);
    const FileReplaceSpecification record{u"dl"_s, fileName, {}, 0, unpackedName};
    const QString installed = unpackedName.isEmpty() ? fileName : unpackedName;

    QCOMPARE(record.hasUnzip(), !unpackedName.isEmpty());
    QCOMPARE(record.pureDestFilePath(), installed);
    QCOMPARE(record.destFileName(QString()), installed);
    QCOMPARE(record.oldDestFileName(), old);
    QCOMPARE(record.destFileName(u"new_"_s), QString(old).replace(u"_old_"_s, u"new_"_s));
}

void TestMakeDownloadReplaceList::pullsBackToTheOlderTree_data()
{
    QTest::addColumn<QByteArray>("key");       // empty: no manifests
    QTest::addColumn<QStringList>("expected"); // deletions, then the log's lines on version 3
    QTest::newRow("what only 3 had goes where unchanged")
            << "key"_ba
            << QStringList{u"p"_s, u"lists message Kept update: the updater's own files stay"_s,
                           u"lists message Kept q: it was changed after version 3 installed it"_s};
    QTest::newRow("no manifests") << QByteArray()
                                  << QStringList{u"lists message Going back from version 3 "
                                                 u"without release manifests: the files only "
                                                 u"version 3 had are kept"_s};
}

void TestMakeDownloadReplaceList::pullsBackToTheOlderTree()
{
    QFETCH(QByteArray, key);
    QFETCH(QStringList, expected);
    const auto [targetIni, target] = releaseOf(2, {u"a=A"_s});
    const auto [newerIni, newerManifest] =
            releaseOf(3, {u"a=A3"_s, u"p=P"_s, u"q=Q"_s, u"update=U"_s});
    writeFiles(temp->path(),
               {u"client_linux_amd64.ini="_s + targetIni, u"newer.ini="_s + newerIni});
    writeFiles(root->path(), {u"a=A"_s, u"p=P"_s, u"q=changed"_s, u"update=U"_s});
    context.manifestKey = key;
    context.launch.goingBackFrom = 3;
    if (!key.isEmpty()) {
        manifest = target;
        newer = NewerRelease{temp->filePath(u"newer.ini"_s), newerManifest};
    }
    FileSpecifications lists;
    const QStringList log =
            runTask(lists).filter(QRegularExpression(u"message (Kept|.*version 3)"_s));
    QCOMPARE(lists.deleteList + log, expected);
}

QTEST_GUILESS_MAIN(TestMakeDownloadReplaceList)
#include "tst_makedownloadreplacelisttaskspecification.moc"
