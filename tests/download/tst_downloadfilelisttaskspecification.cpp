#include "downloadfilelisttaskspecification.h"
#include "downloadfiletaskspecification.h"
#include "downloadtaskspecification.h"
#include "downloadtaskspecification_p.h"
#include "downloadtestsupport.h"
#include "runcontext.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

using Behaviour = TestHttpServer::Behaviour;

namespace {

QString md5Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

template<typename Task>
int countChildren(const QObject* root, bool (*predicate)(const Task*))
{
    const QList<Task*> children = root->findChildren<Task*>();
    return static_cast<int>(std::count_if(children.cbegin(), children.cend(), predicate));
}

int transferring(const QObject* root)
{
    return countChildren<DownloadTaskSpecification>(root, [](const DownloadTaskSpecification* d) {
        return DownloadTaskSpecificationPrivateAccess::isTransferring(*d);
    });
}

} // namespace

class TestDownloadFileListTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void wrongMd5DropsMirrorAndFetchesAgain();
    void corruptCopyOnTheOnlyMirrorFails();
    void userCancelDuringFailedCheckEndsCanceled();
    void directoriesAreMadeFirst();
    void uncreatableDirectoryCancels();
    void parallelLimit_data();
    void parallelLimit();
    void reportsTotalsAndEqualWeights();
    void emptyListFinishesAtOnce();
    void failingFileStopsTheOthers();

private:
    // A file of the list, served by the given mirrors with the given content.
    FileDownloadSpecification addFile(const QString& fileName, const QByteArray& content,
                                      const QStringList& servedBy,
                                      const QByteArray& servedContent = {});
    [[nodiscard]] static QString path(const QString& mirror, const QString& fileName)
    {
        return DownloadFixture::path(mirror, u"dl/"_s + fileName);
    }
    // The task of first, manager, mirrors, session, installation, more..., without parent, of
    // weight 1.
    template<typename Task, typename First, typename... More>
    Task* makeTask(const QString& name, First first, More... more)
    {
        auto owned = std::make_unique<Task>(first, &fx->manager, &fx->mirrors, session,
                                            fx->installation(), more..., nullptr, 1.0);
        Task* raw = owned.get();
        task = std::move(owned);
        fx->log.watchTask(raw, name);
        return raw;
    }
    DownloadFileTaskSpecification* makeFileTask(const FileDownloadSpecification& file)
    {
        return makeTask<DownloadFileTaskSpecification>(u"file"_s, file);
    }
    DownloadFileListTaskSpecification* makeListTask()
    {
        return makeTask<DownloadFileListTaskSpecification>(u"list"_s, files, streams);
    }

    std::unique_ptr<DownloadFixture> fx;
    SessionLayout session;
    int streams = UserSettings().streams;
    std::unique_ptr<TaskSpecification> task;
    QList<FileDownloadSpecification> files;
};

void TestDownloadFileListTaskSpecification::init()
{
    fx = std::make_unique<DownloadFixture>();
    QVERIFY(fx->dir.isValid());
    QVERIFY(fx->server.isListening());
    streams = UserSettings().streams;
    QVERIFY(fx->makeSessionDirectory(session));
    files.clear();
}

void TestDownloadFileListTaskSpecification::cleanup()
{
    task.reset();
    fx.reset();
}

FileDownloadSpecification
TestDownloadFileListTaskSpecification::addFile(const QString& fileName, const QByteArray& content,
                                               const QStringList& servedBy,
                                               const QByteArray& servedContent)
{
    for (const QString& mirror : servedBy)
        fx->server.setRoute(path(mirror, fileName),
                            Behaviour::serve(servedContent.isNull() ? content : servedContent));
    const FileDownloadSpecification file{u"dl"_s, fileName, md5Of(content), content.size()};
    files.append(file);
    return file;
}

void TestDownloadFileListTaskSpecification::wrongMd5DropsMirrorAndFetchesAgain()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s, u"m2"_s}));
    const QByteArray good = patternBytes(300);
    const FileDownloadSpecification file = addFile(u"a.bin"_s, good, {u"m2"_s});
    fx->server.setRoute(path(u"m1"_s, u"a.bin"_s), Behaviour::serve(patternBytes(300, 'x')));
    QVERIFY(arrangeDraws({{2, 0}}));
    DownloadFileTaskSpecification* fileTask = makeFileTask(file);

    fileTask->execute();
    QTRY_COMPARE(fileTask->state(), TaskState::Finished);

    const QString local = session.directory() + u"/a.bin"_s;
    QCOMPARE(fx->log.events(),
             QStringList(
                     {u"file progress 0"_s, u"file progress 0"_s,
                      u"file message Downloading dl/a.bin"_s, u"file progress 0.8"_s,
                      u"file message Downloading dl/a.bin finished"_s, u"file progress 0.8"_s,
                      u"file message Signature check failed for "_s + local,
                      u"file message md5 sum for a.bin failed, invalidating mirror and retrying"_s,
                      u"file progress 0"_s, u"file progress 0"_s, u"file progress 0"_s,
                      u"file message Downloading dl/a.bin"_s, u"file progress 0.8"_s,
                      u"file message Downloading dl/a.bin finished"_s, u"file progress 0.8"_s,
                      u"file progress 1"_s, u"file progress 1"_s, u"file finished"_s}));
    QCOMPARE(fx->mirrors.getMirrorIndex(u"m1"_s), -1);
    QCOMPARE(fx->server.requestedPaths(),
             QStringList({path(u"m1"_s, u"a.bin"_s), path(u"m2"_s, u"a.bin"_s)}));
    QCOMPARE(fileContent(local), good);
}

void TestDownloadFileListTaskSpecification::corruptCopyOnTheOnlyMirrorFails()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    const FileDownloadSpecification file =
            addFile(u"a.bin"_s, patternBytes(300), {u"m1"_s}, patternBytes(300, 'x'));
    DownloadFileTaskSpecification* fileTask = makeFileTask(file);

    fileTask->execute();
    QTRY_COMPARE(fileTask->state(), TaskState::ErrorCanceled);

    QCOMPARE(withoutProgress(fx->log.events()),
             QStringList(
                     {u"file message Downloading dl/a.bin"_s,
                      u"file message Downloading dl/a.bin finished"_s,
                      u"file message Signature check failed for "_s + fileTask->localFile(),
                      u"file message md5 sum for a.bin failed, invalidating mirror and retrying"_s,
                      u"file message Downloading dl/a.bin"_s,
                      u"mirrors message There are no (more) known working mirrors available"_s,
                      u"file canceled ErrorCanceled"_s}));
}

void TestDownloadFileListTaskSpecification::userCancelDuringFailedCheckEndsCanceled()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s, u"m2"_s}));
    const FileDownloadSpecification file =
            addFile(u"a.bin"_s, patternBytes(300), {u"m1"_s, u"m2"_s}, patternBytes(300, 'x'));
    DownloadFileTaskSpecification* fileTask = makeFileTask(file);
    // The user cancels while the check is reporting its failure.
    connect(fileTask, &TaskSpecification::message, fileTask, [fileTask](const QString& text) {
        if (text.startsWith(u"Signature check failed"_s))
            fileTask->userCanceled();
    });

    fileTask->execute();
    QTRY_COMPARE(fileTask->state(), TaskState::UserCanceled);

    QCOMPARE(fx->server.requests().size(), 1);
    QCOMPARE(fx->mirrors.list().size(), 1);
    QVERIFY(fx->log.events().contains(
            u"file message md5 sum for a.bin failed, invalidating mirror and retrying"_s));
}

void TestDownloadFileListTaskSpecification::directoriesAreMadeFirst()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    for (const QString& name : {u"a/b/x"_s, u"a/b/y"_s, u"plain"_s, u"a/b/z"_s, u"c/d"_s})
        addFile(name, name.toUtf8(), {u"m1"_s});
    DownloadFileListTaskSpecification* list = makeListTask();

    list->execute();
    const QDir temp(session.directory());
    QCOMPARE(temp.entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({u"a"_s, u"c"_s}));
    QCOMPARE(QDir(temp.filePath(u"a"_s)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{u"b"_s});
    QVERIFY(temp.exists(u"a/b"_s));
    QVERIFY(fx->server.requests().isEmpty());

    QTRY_COMPARE(list->state(), TaskState::Finished);
    for (const FileDownloadSpecification& file : std::as_const(files))
        QCOMPARE(fileContent(temp.filePath(file.fileName)), file.fileName.toUtf8());
    QCOMPARE(withoutProgress(fx->log.events()).mid(0, 2),
             QStringList({u"list message Downloading files"_s,
                          u"list message Downloading dl/a/b/x"_s}));
}

void TestDownloadFileListTaskSpecification::uncreatableDirectoryCancels()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    addFile(u"ok/file"_s, "x", {u"m1"_s});
    addFile(u"a/b/x"_s, "x", {u"m1"_s});
    QFile blocker(session.directory() + u"/a"_s);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    DownloadFileListTaskSpecification* list = makeListTask();

    list->execute();

    const QString canonical = QDir(session.directory()).canonicalPath();
    QCOMPARE(fx->log.events(),
             QStringList({u"list message Could not create dir %1/a/b"_s.arg(canonical),
                          u"list canceled ErrorCanceled"_s}));
    QCoreApplication::processEvents();
    QVERIFY(fx->server.requests().isEmpty());
}

void TestDownloadFileListTaskSpecification::parallelLimit_data()
{
    QTest::addColumn<int>("streams");
    QTest::addColumn<int>("mirrorCount");
    QTest::addColumn<int>("started");
    QTest::addColumn<int>("limit");
    QTest::newRow("6 streams, 2 mirrors") << 6 << 2 << 6 << 2;
    QTest::newRow("1 stream, 3 mirrors") << 1 << 3 << 1 << 1;
}

void TestDownloadFileListTaskSpecification::parallelLimit()
{
    QFETCH(int, streams);
    QFETCH(int, mirrorCount);
    QFETCH(int, started);
    QFETCH(int, limit);
    QStringList mirrorNames;
    for (int i = 1; i <= mirrorCount; ++i)
        mirrorNames.append(u"m%1"_s.arg(i));
    QVERIFY(fx->setUpMirrors(mirrorNames));
    QStringList order;
    for (int i = 0; i < 8; ++i) {
        const QString name = u"f%1"_s.arg(i);
        order.append(name);
        addFile(name, patternBytes(20000, char('a' + i)), {});
        for (const QString& mirror : std::as_const(mirrorNames))
            fx->server.setRoute(path(mirror, name),
                                Behaviour::trickle(patternBytes(20000, char('a' + i)), 5000,
                                                   std::chrono::milliseconds(5)));
    }
    this->streams = streams;
    DownloadFileListTaskSpecification* list = makeListTask();
    int most = 0;
    QStringList requested;
    connect(&fx->server, &TestHttpServer::requestReceived, list, [&](const QString& p) {
        most = std::max(most, transferring(list));
        requested.append(p.section(u'/', -1));
    });

    list->execute();
    QTRY_COMPARE(transferring(list), limit);
    const auto running = [](const DownloadFileTaskSpecification* f) {
        return f->state() == TaskState::Running;
    };
    QCOMPARE(countChildren<DownloadFileTaskSpecification>(list, running), started);
    QTRY_COMPARE(list->state(), TaskState::Finished);

    QCOMPARE(most, limit);
    if (streams == 1)
        QCOMPARE(requested, order);
    for (const FileDownloadSpecification& file : std::as_const(files))
        QCOMPARE(md5Of(fileContent(session.filePath(file.fileName))), file.md5);
}

void TestDownloadFileListTaskSpecification::reportsTotalsAndEqualWeights()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    addFile(u"small"_s, patternBytes(100), {u"m1"_s});
    addFile(u"large"_s, patternBytes(300), {});
    fx->server.setRoute(path(u"m1"_s, u"large"_s), Behaviour::stall(patternBytes(300)));
    streams = 1;
    DownloadFileListTaskSpecification* list = makeListTask();

    list->execute();
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    list->timeTick(done, total, speed, downloading);
    QCOMPARE(total, 400u);
    QCOMPARE(done, 0u);

    QTRY_COMPARE(fx->server.requestCount(path(u"m1"_s, u"large"_s)), 1);
    QCOMPARE(list->progress(), 0.5);
    done = total = speed = 0;
    list->timeTick(done, total, speed, downloading);
    QCOMPARE(total, 400u);
    QCOMPARE(done, 100u);
    QVERIFY(downloading);

    fx->server.resumeStalled();
    QTRY_COMPARE(list->state(), TaskState::Finished);
    done = total = speed = 0;
    list->timeTick(done, total, speed, downloading);
    QCOMPARE(done, 400u);
    QCOMPARE(total, 400u);
    QVERIFY(!downloading);
}

void TestDownloadFileListTaskSpecification::emptyListFinishesAtOnce()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    DownloadFileListTaskSpecification* list = makeListTask();
    list->execute();
    QCOMPARE(fx->log.events(), QStringList({u"list message No downloads needed"_s,
                                            u"list progress 1"_s, u"list finished"_s}));
}

void TestDownloadFileListTaskSpecification::failingFileStopsTheOthers()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    addFile(u"missing"_s, "x", {});
    addFile(u"later"_s, "y", {u"m1"_s});
    streams = 2;
    DownloadFileListTaskSpecification* list = makeListTask();

    list->execute();
    QTRY_COMPARE(list->state(), TaskState::ErrorCanceled);

    QCOMPARE(fx->server.requestedPaths(), QStringList{path(u"m1"_s, u"missing"_s)});
    QVERIFY(!QFile::exists(session.directory() + u"/later"_s));
    QCOMPARE(withoutProgress(fx->log.events()).last(), u"list canceled ErrorCanceled"_s);
}

QTEST_GUILESS_MAIN(TestDownloadFileListTaskSpecification)
#include "tst_downloadfilelisttaskspecification.moc"
