#include "downloadtaskspecification.h"
#include "downloadtaskspecification_p.h"
#include "downloadtestsupport.h"

#include <QFileInfo>
#include <QTcpServer>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

using Behaviour = TestHttpServer::Behaviour;

namespace {

const QString noMirrorsText =
        u"mirrors message There are no (more) known working mirrors available"_s;
constexpr double weight = 0.8;

struct Tick
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
};

Tick tick(TaskSpecification& task)
{
    Tick t;
    task.timeTick(t.done, t.total, t.speed, t.downloading);
    return t;
}

} // namespace

class TestDownloadTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void downloadsFile_data();
    void downloadsFile();
    void statusOtherThan200RemovesMirror_data();
    void statusOtherThan200RemovesMirror();
    void failedAttemptIsCountedAndRetriedElsewhere_data();
    void failedAttemptIsCountedAndRetriedElsewhere();
    void stallTimesOutAtSixteenthIdleTick();
    void oversizeFailsAttempt_data();
    void oversizeFailsAttempt();
    void secondDownloadWaitsForTheOnlySlot();
    void cancelWhileTransferring_data();
    void cancelWhileTransferring();
    void cancelWhileWaitingNeverStartsTransfer_data();
    void cancelWhileWaitingNeverStartsTransfer();
    void uncreatableFileCancels();
    void emptyMirrorListIsReportedOnce();

private:
    DownloadTaskSpecification*
    makeTask(const QString& name, qint64 expectedSize,
             qint64 maxSize = DownloadTaskSpecification::maxProductIniSize);
    [[nodiscard]] QString local(const QString& name) const { return fx->dir.filePath(name); }
    [[nodiscard]] MirrorEntry mirror(const QString& name, const QString& retries = {}) const
    {
        return fx->mirror(name, retries);
    }
    [[nodiscard]] static QString path(const QString& mirror, const QString& file)
    {
        return DownloadFixture::path(mirror, file);
    }

    std::unique_ptr<DownloadFixture> fx;
    std::vector<std::unique_ptr<DownloadTaskSpecification>> tasks;
};

void TestDownloadTaskSpecification::init()
{
    fx = std::make_unique<DownloadFixture>();
    QVERIFY(fx->dir.isValid());
    QVERIFY(fx->server.isListening());
}

void TestDownloadTaskSpecification::cleanup()
{
    tasks.clear();
    fx.reset();
}

DownloadTaskSpecification*
TestDownloadTaskSpecification::makeTask(const QString& name, qint64 expectedSize, qint64 maxSize)
{
    tasks.push_back(std::make_unique<DownloadTaskSpecification>(
            &fx->manager, &fx->mirrors, name, local(name), expectedSize, nullptr, weight, maxSize));
    fx->log.watchTask(tasks.back().get(), name);
    return tasks.back().get();
}

void TestDownloadTaskSpecification::downloadsFile_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<QStringList>("progress");

    const QByteArray body = patternBytes(10000);
    const auto pieces = std::chrono::milliseconds(10);
    QTest::newRow("known size") << Behaviour::trickle(body, 4096, pieces) << qint64(10000)
                                << QStringList{u"0.32768"_s, u"0.65536"_s, u"0.8"_s, u"0.8"_s};
    QTest::newRow("size announced") << Behaviour::trickle(body, 4096, pieces) << qint64(-1)
                                    << QStringList{u"0.32768"_s, u"0.65536"_s, u"0.8"_s, u"0.8"_s};
    Behaviour unannounced = Behaviour::trickle(body, 4096, pieces);
    unannounced.length = Behaviour::Length::Omitted;
    QTest::newRow("size unknown") << unannounced << qint64(-1) << QStringList{u"0.8"_s};
}

void TestDownloadTaskSpecification::downloadsFile()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(qint64, expectedSize);
    QFETCH(QStringList, progress);
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s), behaviour);
    DownloadTaskSpecification* task = makeTask(u"f.bin"_s, expectedSize);

    task->execute();
    QTRY_COMPARE(task->state(), TaskState::Finished);

    QStringList expected{u"f.bin message Downloading f.bin"_s};
    for (const QString& p : std::as_const(progress))
        expected.append(u"f.bin progress "_s + p);
    expected.insert(expected.size() - 1, u"f.bin message Downloading f.bin finished"_s);
    expected.append(u"f.bin finished"_s);
    QCOMPARE(fx->log.events(), expected);
    QCOMPARE(fileContent(local(u"f.bin"_s)), behaviour.body);
    QCOMPARE(task->mirror().name, u"m1"_s);
    QCOMPARE(fx->usedSlots(), 0);
    QCOMPARE(fx->server.requestedPaths(), QStringList{path(u"m1"_s, u"f.bin"_s)});
    QVERIFY(!fx->server.requests().at(0).hasHeader("Range"));
    const Tick t = tick(*task);
    QCOMPARE(t.done, quint64(10000));
    QCOMPARE(t.total, 10000u); // known at the end in any case
    QVERIFY(!t.downloading);
}

void TestDownloadTaskSpecification::statusOtherThan200RemovesMirror_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<int>("status");
    QTest::newRow("404") << Behaviour::notFound() << 404;
    QTest::newRow("301") << Behaviour::movedPermanently(u"/elsewhere/f.bin"_s) << 301;
    QTest::newRow("401") << Behaviour::unauthorized() << 401;
    QTest::newRow("206") << Behaviour::withStatus(206) << 206;
    QTest::newRow("500") << Behaviour::withStatus(500) << 500;
}

void TestDownloadTaskSpecification::statusOtherThan200RemovesMirror()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(int, status);
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s, u"m2"_s}));
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s), behaviour);
    fx->server.setRoute(path(u"m2"_s, u"f.bin"_s), Behaviour::serve("good"));
    QVERIFY(arrangeDraws({{2, 0}}));
    DownloadTaskSpecification* task = makeTask(u"f.bin"_s, 4);

    task->execute();
    QTRY_COMPARE(task->state(), TaskState::Finished);

    const QString url = fx->server.urlText(path(u"m1"_s, u"f.bin"_s));
    QCOMPARE(withoutProgress(fx->log.events()),
             QStringList({u"f.bin message Downloading f.bin"_s,
                          u"f.bin message %1 returned %2"_s.arg(url).arg(status),
                          u"f.bin message Downloading f.bin finished"_s, u"f.bin finished"_s}));
    QCOMPARE(fx->mirrors.getMirrorIndex(u"m1"_s), -1);
    QCOMPARE(fx->server.requestedPaths(),
             QStringList({path(u"m1"_s, u"f.bin"_s), path(u"m2"_s, u"f.bin"_s)}));
    QCOMPARE(fileContent(local(u"f.bin"_s)), QByteArray("good"));
}

void TestDownloadTaskSpecification::failedAttemptIsCountedAndRetriedElsewhere_data()
{
    QTest::addColumn<QString>("badUrl");
    QTest::addColumn<QString>("text");
    QTest::newRow("body shorter than announced") << QString() << u"Connection closed"_s;
    QTest::newRow("connection refused") << u"refused"_s << u"Connection refused"_s;
    QTest::newRow("no url") << u""_s << u"Protocol \"\" is unknown"_s;
}

void TestDownloadTaskSpecification::failedAttemptIsCountedAndRetriedElsewhere()
{
    QFETCH(QString, badUrl);
    QFETCH(QString, text);
    MirrorEntry bad = mirror(u"m1"_s);
    if (badUrl == u"refused") {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        bad.url = u"http://127.0.0.1:%1/m1"_s.arg(closed.serverPort());
    } else if (!badUrl.isNull()) {
        bad.url = badUrl;
    }
    QVERIFY(fx->setUpMirrors(QList<MirrorEntry>{bad, mirror(u"m2"_s)}));
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s),
                        Behaviour::lyingLength(patternBytes(3000, 'x'), 5000));
    fx->server.setRoute(path(u"m2"_s, u"f.bin"_s), Behaviour::serve(patternBytes(5000)));
    QVERIFY(arrangeDraws({{2, 0}, {2, 1}}));
    DownloadTaskSpecification* task = makeTask(u"f.bin"_s, 5000);

    task->execute();
    QTRY_COMPARE(task->state(), TaskState::Finished);

    QCOMPARE(withoutProgress(fx->log.events()),
             QStringList({u"f.bin message Downloading f.bin"_s, u"f.bin message "_s + text,
                          u"f.bin message Downloading f.bin finished"_s, u"f.bin finished"_s}));
    QCOMPARE(fx->mirrors.list().at(0).name, u"m1"_s);
    QCOMPARE(fx->mirrors.list().at(0).errors, 1);
    QCOMPARE(fileContent(local(u"f.bin"_s)), patternBytes(5000));
}

void TestDownloadTaskSpecification::stallTimesOutAtSixteenthIdleTick()
{
    QVERIFY(fx->setUpMirrors(QList<MirrorEntry>{mirror(u"m1"_s, u"1"_s)}));
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s), Behaviour::stall(patternBytes(1000), 100));
    DownloadTaskSpecification* task = makeTask(u"f.bin"_s, -1);
    const QString file = local(u"f.bin"_s);

    task->execute();
    QTRY_COMPARE(QFileInfo(file).size(), 100);
    Tick t = tick(*task);
    QCOMPARE(t.done, 100u);
    QCOMPARE(t.total, 1000u);
    QCOMPARE(t.speed, 100u);
    QVERIFY(t.downloading);

    // Received data starts the idle count afresh.
    for (int i = 0; i < 10; ++i)
        QVERIFY(tick(*task).downloading);
    fx->server.resumeStalled(100);
    QTRY_COMPARE(QFileInfo(file).size(), 200);
    for (int i = 0; i < 15; ++i) {
        t = tick(*task);
        QVERIFY(t.downloading);
    }
    QCOMPARE(t.speed, 0u);
    QVERIFY(!fx->log.events().contains(u"f.bin message file f.bin timed out on mirror m1"_s));

    t = tick(*task);
    QVERIFY(!t.downloading);
    QCOMPARE(fx->mirrors.list().at(0).errors, 1);
    QCOMPARE(QFileInfo(file).size(), 0); // the next attempt starts afresh

    QTRY_COMPARE(QFileInfo(file).size(), 100);
    fx->server.resumeStalled();
    QTRY_COMPARE(task->state(), TaskState::Finished);
    QCOMPARE(fx->log.events(),
             QStringList({u"f.bin message Downloading f.bin"_s, u"f.bin progress 0.08"_s,
                          u"f.bin progress 0.16"_s, u"f.bin progress 0"_s,
                          u"f.bin message file f.bin timed out on mirror m1"_s,
                          u"f.bin progress 0.08"_s, u"f.bin progress 0.8"_s,
                          u"f.bin message Downloading f.bin finished"_s, u"f.bin progress 0.8"_s,
                          u"f.bin finished"_s}));
    QCOMPARE(fileContent(file), patternBytes(1000));
}

void TestDownloadTaskSpecification::oversizeFailsAttempt_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<qint64>("maxSize");
    QTest::addColumn<bool>("fits");
    QTest::newRow("announced over expected")
            << Behaviour::serve(patternBytes(101)) << qint64(100) << qint64(0) << false;
    QTest::newRow("received over expected")
            << Behaviour::endless() << qint64(10000) << qint64(0) << false;
    QTest::newRow("received over limit of unknown size")
            << Behaviour::endless() << qint64(-1) << DownloadTaskSpecification::maxSignatureSize
            << false;
    QTest::newRow("announced over limit of unknown size")
            << Behaviour::serve(patternBytes(DownloadTaskSpecification::maxSignatureSize + 1))
            << qint64(-1) << DownloadTaskSpecification::maxSignatureSize << false;
    QTest::newRow("received over listed size 0")
            << Behaviour::endless() << qint64(0) << qint64(0) << false;
    QTest::newRow("exactly listed size 0")
            << Behaviour::serve({}) << qint64(0) << qint64(0) << true;
    QTest::newRow("exactly expected")
            << Behaviour::serve(patternBytes(100)) << qint64(100) << qint64(0) << true;
    QTest::newRow("exactly the limit")
            << Behaviour::serveWithoutLength(
                       patternBytes(DownloadTaskSpecification::maxSignatureSize))
            << qint64(-1) << DownloadTaskSpecification::maxSignatureSize << true;
}

void TestDownloadTaskSpecification::oversizeFailsAttempt()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(qint64, expectedSize);
    QFETCH(qint64, maxSize);
    QFETCH(bool, fits);
    QVERIFY(fx->setUpMirrors(QList<MirrorEntry>{mirror(u"m1"_s, u"1"_s)}));
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s), behaviour);
    DownloadTaskSpecification* task = makeTask(u"f.bin"_s, expectedSize, maxSize);

    task->execute();
    QTRY_VERIFY(task->state() != TaskState::Running);

    if (fits) {
        QCOMPARE(task->state(), TaskState::Finished);
        QCOMPARE(fileContent(local(u"f.bin"_s)), behaviour.body);
        return;
    }
    const QString failure = u"f.bin message file f.bin exceeds its expected size on mirror m1"_s;
    // A mirror that sends more than the listed size or the limit is dropped at once.
    QCOMPARE(withoutProgress(fx->log.events()),
             QStringList({u"f.bin message Downloading f.bin"_s, failure, noMirrorsText,
                          u"f.bin canceled ErrorCanceled"_s}));
    QVERIFY(!QFileInfo::exists(local(u"f.bin"_s)));
    QCOMPARE(fx->server.requests().size(), 1);
}

void TestDownloadTaskSpecification::secondDownloadWaitsForTheOnlySlot()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    fx->server.setRoute(path(u"m1"_s, u"a"_s), Behaviour::stall("first"));
    fx->server.setRoute(path(u"m1"_s, u"b"_s), Behaviour::serve("second"));
    DownloadTaskSpecification* a = makeTask(u"a"_s, 5);
    DownloadTaskSpecification* b = makeTask(u"b"_s, 6);

    a->execute();
    b->execute();
    QVERIFY(DownloadTaskSpecificationPrivateAccess::isWaitingForSlot(*b));
    QTRY_COMPARE(fx->server.requests().size(), 1);
    QVERIFY(!DownloadTaskSpecificationPrivateAccess::isTransferring(*b));

    fx->server.resumeStalled();
    QTRY_COMPARE(b->state(), TaskState::Finished);
    QCOMPARE(fx->log.events(),
             QStringList({u"a message Downloading a"_s, u"b message Downloading b"_s,
                          u"a progress 0.8"_s, u"a message Downloading a finished"_s,
                          u"a progress 0.8"_s, u"a finished"_s, u"b progress 0.8"_s,
                          u"b message Downloading b finished"_s, u"b progress 0.8"_s,
                          u"b finished"_s}));
    QCOMPARE(fx->server.requestedPaths(),
             QStringList({path(u"m1"_s, u"a"_s), path(u"m1"_s, u"b"_s)}));
    QCOMPARE(fx->usedSlots(), 0);
}

void TestDownloadTaskSpecification::cancelWhileTransferring_data()
{
    QTest::addColumn<QStringList>("ending");
    QTest::newRow("user") << QStringList{u"f.bin progress 0"_s, u"f.bin canceled UserCanceled"_s};
    QTest::newRow("other task") << QStringList{u"f.bin message Abort downloading f.bin"_s,
                                               u"f.bin progress 0"_s,
                                               u"f.bin canceled ErrorCanceled"_s};
    QTest::newRow("deletion") << QStringList();
}

void TestDownloadTaskSpecification::cancelWhileTransferring()
{
    QFETCH(QStringList, ending);
    const QByteArray by = QTest::currentDataTag();
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s), Behaviour::stall(patternBytes(1000), 100));
    DownloadTaskSpecification* task = makeTask(u"f.bin"_s, 1000);
    TaskSpecification* other = makeTask(u"other"_s, 1);

    task->execute();
    QTRY_COMPARE(QFileInfo(local(u"f.bin"_s)).size(), 100);
    if (by == "user")
        task->userCanceled();
    else if (by == "other task")
        task->onOtherTaskCancelled(other);
    else
        tasks.erase(tasks.begin());

    QCOMPARE(fx->log.events(),
             QStringList({u"f.bin message Downloading f.bin"_s, u"f.bin progress 0.08"_s}) +
                     ending);
    // A later attempt or run continues the part.
    QCOMPARE(fileContent(local(u"f.bin"_s)), patternBytes(100));
    QCOMPARE(fx->usedSlots(), 0);
    QTRY_COMPARE(fx->server.openConnections(), 0);
}

void TestDownloadTaskSpecification::cancelWhileWaitingNeverStartsTransfer_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<bool>("afterNotice");
    QTest::newRow("user") << true << false;
    QTest::newRow("other task") << false << false;
    // The first download has ended and the notice to look again is already queued.
    QTest::newRow("user, notice queued") << true << true;
    QTest::newRow("other task, notice queued") << false << true;
}

void TestDownloadTaskSpecification::cancelWhileWaitingNeverStartsTransfer()
{
    QFETCH(bool, byUser);
    QFETCH(bool, afterNotice);
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    fx->server.setRoute(path(u"m1"_s, u"a"_s), Behaviour::stall("first"));
    fx->server.setRoute(path(u"m1"_s, u"b"_s), Behaviour::serve("second"));
    DownloadTaskSpecification* a = makeTask(u"a"_s, 5);
    DownloadTaskSpecification* b = makeTask(u"b"_s, 6);
    const auto cancel = [&] {
        if (byUser)
            b->userCanceled();
        else
            b->onOtherTaskCancelled(a);
    };
    if (afterNotice)
        connect(a, &TaskSpecification::finished, b, cancel);
    a->execute();
    b->execute();
    QVERIFY(DownloadTaskSpecificationPrivateAccess::isWaitingForSlot(*b));
    if (!afterNotice) {
        cancel();
        QVERIFY(!DownloadTaskSpecificationPrivateAccess::isWaitingForSlot(*b));
    }

    QTRY_COMPARE(fx->server.requests().size(), 1);
    fx->server.resumeStalled();
    QTRY_COMPARE(a->state(), TaskState::Finished);
    flushPostedEvents();
    QCOMPARE(b->state(), byUser ? TaskState::UserCanceled : TaskState::ErrorCanceled);
    QVERIFY(!DownloadTaskSpecificationPrivateAccess::isWaitingForSlot(*b));
    QVERIFY(!DownloadTaskSpecificationPrivateAccess::isTransferring(*b));
    QCOMPARE(fx->usedSlots(), 0);
    QCOMPARE(fx->server.requestedPaths(), QStringList{path(u"m1"_s, u"a"_s)});
    QVERIFY(!QFileInfo::exists(local(u"b"_s)));
}

void TestDownloadTaskSpecification::uncreatableFileCancels()
{
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s}));
    QVERIFY(QDir(fx->dir.path()).mkdir(u"f.bin"_s));
    DownloadTaskSpecification* task = makeTask(u"f.bin"_s, 5);

    task->execute();

    QCOMPARE(fx->log.events(),
             QStringList(
                     {u"f.bin message Downloading f.bin"_s,
                      u"f.bin error Unable to create file %1 for saving"_s.arg(local(u"f.bin"_s)),
                      u"f.bin canceled ErrorCanceled"_s}));
    QCOMPARE(fx->usedSlots(), 0);
    QCOMPARE(fx->mirrors.list().at(0).errors, 0);
    flushPostedEvents();
    QVERIFY(fx->server.requests().isEmpty());
}

void TestDownloadTaskSpecification::emptyMirrorListIsReportedOnce()
{
    QVERIFY(fx->setUpMirrors(QStringList()));
    makeTask(u"a"_s, 5)->execute();
    makeTask(u"b"_s, 5)->execute();
    QCOMPARE(
            fx->log.events(),
            QStringList({u"a message Downloading a"_s, noMirrorsText, u"a canceled ErrorCanceled"_s,
                         u"b message Downloading b"_s, u"b canceled ErrorCanceled"_s}));
}

QTEST_GUILESS_MAIN(TestDownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"
