#include "downloadfilelisttaskspecification.h"
#include "downloadfiletaskspecification.h"
#include "downloadtaskspecification.h"
#include "downloadtestsupport.h"
#include "runcontext.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

using Behaviour = TestHttpServer::Behaviour;

// Mirrors that answer, but not with the file: they send without end, send somewhere else, send
// an error page, hang up half-way or send just enough to look alive. Every download must still
// end, keep its memory bounded, keep no bytes beyond the file's size and go on with another
// mirror.

namespace {

// What a transfer may hold in memory at most, however much or however slowly a mirror sends.
constexpr qint64 memoryBound = 1024 * 1024;
constexpr qint64 fileSize = 5000;
// One byte per tick for this many ticks outlasts the stall rule (16 idle ticks) more than twice.
constexpr qint64 trickleTicks = 40;

QString md5Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

Behaviour endlessWith(Behaviour::Length length, qint64 announced = 0)
{
    Behaviour b = Behaviour::endless(64 * 1024);
    b.length = length;
    b.announcedLength = announced;
    return b;
}

QByteArray errorPage(qsizetype padding)
{
    return "<!DOCTYPE html>\n<html><head><title>503 Service Unavailable</title></head><body>"
           "<h1>Service Unavailable</h1><p>The mirror is down for maintenance.</p>" +
           QByteArray(padding, ' ') + "</body></html>\n";
}

// The replies of the manager that are still transferring.
QList<QNetworkReply*> runningReplies(const QNetworkAccessManager& manager)
{
    QList<QNetworkReply*> replies =
            manager.findChildren<QNetworkReply*>(Qt::FindDirectChildrenOnly);
    replies.removeIf([](const QNetworkReply* r) { return !r->isRunning(); });
    return replies;
}

bool hasBoundedReadBuffer(const QNetworkReply* reply)
{
    return reply->readBufferSize() > 0 && reply->readBufferSize() <= memoryBound;
}

} // namespace

class TestHostileMirrors : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void endlessDataEndsAtTheSizeLimit_data();
    void endlessDataEndsAtTheSizeLimit();
    void redirectToAnotherHostIsNotFollowed_data();
    void redirectToAnotherHostIsNotFollowed();
    void htmlErrorPageFailsAndTheRunGoesOn_data();
    void htmlErrorPageFailsAndTheRunGoesOn();
    void connectionClosedHalfWay_data();
    void connectionClosedHalfWay();
    void trickleEndsByLimitOrCancel_data();
    void trickleEndsByLimitOrCancel();

private:
    [[nodiscard]] static QString path(const QString& mirror, const QString& fileName)
    {
        return DownloadFixture::path(mirror, u"dl/"_s + fileName);
    }
    [[nodiscard]] QString local(const QString& fileName) const
    {
        return session.filePath(fileName);
    }
    // A known file goes through the checked download; one of unknown size (the product ini,
    // its signature) through the plain download with its limit, as the ini step does.
    TaskSpecification* makeTask(const QString& fileName, const QByteArray& content,
                                qint64 expectedSize, qint64 limit = 0);
    // Counts every reply the manager opens, and those without a bounded read buffer.
    void watchReadBuffers();

    std::unique_ptr<DownloadFixture> fx;
    SessionLayout session;
    int streams = UserSettings().streams;
    std::unique_ptr<TaskSpecification> task;
    QList<FileDownloadSpecification> files;
    int repliesSeen = 0;
    int unboundedReplies = 0;
};

void TestHostileMirrors::init()
{
    fx = std::make_unique<DownloadFixture>();
    QVERIFY(fx->dir.isValid());
    QVERIFY(fx->server.isListening());
    streams = UserSettings().streams;
    QVERIFY(fx->makeSessionDirectory(session));
    files.clear();
    repliesSeen = 0;
    unboundedReplies = 0;
}

void TestHostileMirrors::cleanup()
{
    task.reset();
    fx.reset();
}

TaskSpecification* TestHostileMirrors::makeTask(const QString& fileName, const QByteArray& content,
                                                qint64 expectedSize, qint64 limit)
{
    if (expectedSize > 0)
        task = std::make_unique<DownloadFileTaskSpecification>(
                FileDownloadSpecification{u"dl"_s, fileName, md5Of(content), expectedSize},
                &fx->manager, &fx->mirrors, session, fx->installation(), nullptr, 1.0);
    else
        task = std::make_unique<DownloadTaskSpecification>(&fx->manager, &fx->mirrors,
                                                           u"dl/"_s + fileName, local(fileName),
                                                           expectedSize, nullptr, 1.0, limit);
    fx->log.watchTask(task.get(), u"task"_s);
    return task.get();
}

void TestHostileMirrors::watchReadBuffers()
{
    // By the time the server sees the request, the download has set up its reply.
    connect(&fx->server, &TestHttpServer::requestReceived, this, [this] {
        for (const QNetworkReply* reply : runningReplies(fx->manager)) {
            ++repliesSeen;
            if (!hasBoundedReadBuffer(reply))
                ++unboundedReplies;
        }
    });
}

void TestHostileMirrors::endlessDataEndsAtTheSizeLimit_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<QStringList>("failure");
    QTest::addColumn<bool>("mirrorDropped");

    const QStringList tooLarge{
            u"task message file dl/f.bin exceeds its expected size on mirror m1"_s};
    const QStringList wrongSum{
            u"task message Downloading dl/f.bin finished"_s,
            u"task message Signature check failed for %1"_s,
            u"task message md5 sum for f.bin failed, invalidating mirror and retrying"_s,
            u"task message Downloading dl/f.bin"_s};
    QTest::newRow("known size, no length")
            << endlessWith(Behaviour::Length::Omitted) << fileSize << qint64(0) << tooLarge << true;
    QTest::newRow("known size, chunked")
            << endlessWith(Behaviour::Length::Chunked) << fileSize << qint64(0) << tooLarge << true;
    QTest::newRow("known size, length above it")
            << endlessWith(Behaviour::Length::Announced, qint64(1) << 40) << fileSize << qint64(0)
            << tooLarge << true;
    // The length ends the body; what follows is never read, and the sum finds the bytes wrong.
    QTest::newRow("known size, length of it, then more")
            << endlessWith(Behaviour::Length::Announced, fileSize) << fileSize << qint64(0)
            << wrongSum << true;
    QTest::newRow("product ini, no length")
            << endlessWith(Behaviour::Length::Omitted) << qint64(-1)
            << DownloadTaskSpecification::maxProductIniSize << tooLarge << true;
    QTest::newRow("signature, chunked")
            << endlessWith(Behaviour::Length::Chunked) << qint64(-1)
            << DownloadTaskSpecification::maxSignatureSize << tooLarge << true;
}

void TestHostileMirrors::endlessDataEndsAtTheSizeLimit()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(qint64, expectedSize);
    QFETCH(qint64, limit);
    QFETCH(QStringList, failure);
    QFETCH(bool, mirrorDropped);
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s, u"m2"_s}));
    const QByteArray good = patternBytes(fileSize);
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s), behaviour);
    fx->server.setRoute(path(u"m2"_s, u"f.bin"_s), Behaviour::serve(good));
    QVERIFY(arrangeDraws({{2, 0}, {mirrorDropped ? 1u : 2u, mirrorDropped ? 0u : 1u}}));
    watchReadBuffers();
    TaskSpecification* t = makeTask(u"f.bin"_s, good, expectedSize, limit);

    t->execute();
    QTRY_VERIFY_WITH_TIMEOUT(t->state() != TaskState::Running, 20000);

    QCOMPARE(t->state(), TaskState::Finished);
    QStringList expected{u"task message Downloading dl/f.bin"_s};
    for (const QString& line : std::as_const(failure))
        expected.append(line.contains(u"%1"_s) ? line.arg(local(u"f.bin"_s)) : line);
    expected += {u"task message Downloading dl/f.bin finished"_s, u"task finished"_s};
    QCOMPARE(withoutProgress(fx->log.events()), expected);
    QCOMPARE(fileContent(local(u"f.bin"_s)), good);
    QCOMPARE(fx->server.requestedPaths(),
             QStringList({path(u"m1"_s, u"f.bin"_s), path(u"m2"_s, u"f.bin"_s)}));
    if (mirrorDropped) {
        QCOMPARE(fx->mirrors.getMirrorIndex(u"m1"_s), -1);
    } else {
        QCOMPARE(fx->mirrors.list().at(0).name, u"m1"_s);
        QCOMPARE(fx->mirrors.list().at(0).errors, 1);
    }
    QCOMPARE(repliesSeen, 2);
    QCOMPARE(unboundedReplies, 0);
    QCOMPARE(fx->usedSlots(), 0);
    // The endless sender was hung up on, not left to send into the void.
    QTRY_COMPARE(fx->server.answeringConnections(), 0);
}

void TestHostileMirrors::redirectToAnotherHostIsNotFollowed_data()
{
    QTest::addColumn<int>("status");
    for (const int status : {301, 302, 303, 307, 308})
        QTest::addRow("%d", status) << status;
}

void TestHostileMirrors::redirectToAnotherHostIsNotFollowed()
{
    QFETCH(int, status);
    // Another host that would even serve the right bytes: the file must not come from there.
    TestHttpServer elsewhere;
    QVERIFY(elsewhere.isListening());
    const QByteArray good = patternBytes(fileSize);
    elsewhere.setRoute(path(u"m1"_s, u"f.bin"_s), Behaviour::serve(good));
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s, u"m2"_s}));
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s),
                        Behaviour::redirect(status, elsewhere.urlText(path(u"m1"_s, u"f.bin"_s))));
    fx->server.setRoute(path(u"m2"_s, u"f.bin"_s), Behaviour::serve(good));
    QVERIFY(arrangeDraws({{2, 0}, {1, 0}}));
    TaskSpecification* t = makeTask(u"f.bin"_s, good, fileSize);

    t->execute();
    QTRY_VERIFY(t->state() != TaskState::Running);

    QCOMPARE(t->state(), TaskState::Finished);
    const QString url = fx->server.urlText(path(u"m1"_s, u"f.bin"_s));
    QCOMPARE(withoutProgress(fx->log.events()),
             QStringList({u"task message Downloading dl/f.bin"_s,
                          u"task message %1 returned %2"_s.arg(url).arg(status),
                          u"task message Downloading dl/f.bin finished"_s, u"task finished"_s}));
    QCOMPARE(fx->mirrors.getMirrorIndex(u"m1"_s), -1);
    QCOMPARE(fx->server.requestedPaths(),
             QStringList({path(u"m1"_s, u"f.bin"_s), path(u"m2"_s, u"f.bin"_s)}));
    flushPostedEvents();
    QVERIFY(elsewhere.requests().isEmpty());
    QCOMPARE(fileContent(local(u"f.bin"_s)), good);
}

void TestHostileMirrors::htmlErrorPageFailsAndTheRunGoesOn_data()
{
    QTest::addColumn<Behaviour>("page");
    QTest::addColumn<bool>("longerThanFile");

    QTest::newRow("shorter, with length") << Behaviour::htmlPage(errorPage(0)) << false;
    Behaviour unannounced = Behaviour::htmlPage(errorPage(0));
    unannounced.length = Behaviour::Length::Omitted;
    QTest::newRow("shorter, without length") << unannounced << false;
    Behaviour chunked = Behaviour::htmlPage(errorPage(0));
    chunked.length = Behaviour::Length::Chunked;
    QTest::newRow("shorter, chunked") << chunked << false;
    Behaviour longer = Behaviour::htmlPage(errorPage(2 * fileSize));
    longer.length = Behaviour::Length::Omitted;
    QTest::newRow("longer, without length") << longer << true;
}

void TestHostileMirrors::htmlErrorPageFailsAndTheRunGoesOn()
{
    QFETCH(Behaviour, page);
    QFETCH(bool, longerThanFile);
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s, u"m2"_s}));
    QStringList expected{u"list message Downloading files"_s};
    for (const QString& name : {u"a.bin"_s, u"b.bin"_s}) {
        const QByteArray content = patternBytes(fileSize, name.front().toLatin1());
        fx->server.setRoute(path(u"m1"_s, name), page);
        fx->server.setRoute(path(u"m2"_s, name), Behaviour::serve(content));
        files.append({u"dl"_s, name, md5Of(content), fileSize});
    }
    streams = 1;
    // The page is too large before any check can run, or arrives whole and fails its sum: either
    // way m1 is dropped at once and b.bin never sees it.
    QVERIFY(arrangeDraws({{2, 0}, {1, 0}, {1, 0}}));
    expected.append(u"list message Downloading dl/a.bin"_s);
    if (longerThanFile)
        expected.append(u"list message file dl/a.bin exceeds its expected size on mirror m1"_s);
    else
        expected += {u"list message Downloading dl/a.bin finished"_s,
                     u"list message Signature check failed for "_s + local(u"a.bin"_s),
                     u"list message md5 sum for a.bin failed, invalidating mirror and retrying"_s,
                     u"list message Downloading dl/a.bin"_s};
    expected += {u"list message Downloading dl/a.bin finished"_s,
                 u"list message Downloading dl/b.bin"_s,
                 u"list message Downloading dl/b.bin finished"_s, u"list finished"_s};
    task = std::make_unique<DownloadFileListTaskSpecification>(
            files, &fx->manager, &fx->mirrors, session, fx->installation(), streams, nullptr, 1.0);
    fx->log.watchTask(task.get(), u"list"_s);

    task->execute();
    QTRY_VERIFY(task->state() != TaskState::Running);

    QCOMPARE(withoutProgress(fx->log.events()), expected);
    QCOMPARE(task->state(), TaskState::Finished);
    QCOMPARE(fx->mirrors.getMirrorIndex(u"m1"_s), -1);
    for (const FileDownloadSpecification& file : std::as_const(files))
        QCOMPARE(md5Of(fileContent(local(file.fileName))), file.md5);
}

void TestHostileMirrors::connectionClosedHalfWay_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    // Empty when only the sum can tell: without length or chunks the close looks like the end.
    QTest::addColumn<QString>("failure");

    const QByteArray body = patternBytes(fileSize, 'x');
    QTest::newRow("length, closed")
            << Behaviour::closedHalfWay(body, 2000) << u"Connection closed"_s;
    QTest::newRow("length, reset")
            << Behaviour::closedHalfWay(body, 2000, true) << u"Connection closed"_s;
    Behaviour chunked = Behaviour::closedHalfWay(body, 2000);
    chunked.length = Behaviour::Length::Chunked;
    QTest::newRow("chunked, closed") << chunked << u"Connection closed"_s;
    Behaviour unannounced = Behaviour::closedHalfWay(body, 2000);
    unannounced.length = Behaviour::Length::Omitted;
    QTest::newRow("no length, closed") << unannounced << QString();
}

void TestHostileMirrors::connectionClosedHalfWay()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(QString, failure);
    const bool detected = !failure.isEmpty();
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s, u"m2"_s}));
    const QByteArray good = patternBytes(fileSize);
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s), behaviour);
    fx->server.setRoute(path(u"m2"_s, u"f.bin"_s), Behaviour::serve(good));
    QVERIFY(arrangeDraws({{2, 0}, {detected ? 2u : 1u, detected ? 1u : 0u}}));
    TaskSpecification* t = makeTask(u"f.bin"_s, good, fileSize);
    // Whether the partial bytes are still on disk when the failure is told: those that arrived
    // in order are kept for the next attempt to continue.
    QStringList leftAtFailure;
    connect(t, &TaskSpecification::message, this, [&](const QString& text) {
        if (!text.startsWith(u"Downloading"_s))
            leftAtFailure.append(text + u": "_s +
                                 (QFileInfo::exists(local(u"f.bin"_s)) ? u"file"_s : u"none"_s));
    });

    t->execute();
    QTRY_VERIFY(t->state() != TaskState::Running);

    QCOMPARE(t->state(), TaskState::Finished);
    QCOMPARE(fileContent(local(u"f.bin"_s)), good);
    QCOMPARE(fx->server.requestedPaths(),
             QStringList({path(u"m1"_s, u"f.bin"_s), path(u"m2"_s, u"f.bin"_s)}));
    if (detected) {
        QCOMPARE(leftAtFailure, QStringList{failure + u": file"_s});
        QCOMPARE(fx->mirrors.list().at(0).name, u"m1"_s);
        QCOMPARE(fx->mirrors.list().at(0).errors, 1);
    } else {
        // The short file is complete as far as HTTP can tell; its sum is not, and the next
        // cycle overwrites it.
        QCOMPARE(leftAtFailure,
                 QStringList(
                         {u"Signature check failed for %1: file"_s.arg(local(u"f.bin"_s)),
                          u"md5 sum for f.bin failed, invalidating mirror and retrying: file"_s}));
        QCOMPARE(fx->mirrors.getMirrorIndex(u"m1"_s), -1);
    }
    QCOMPARE(fx->usedSlots(), 0);
}

void TestHostileMirrors::trickleEndsByLimitOrCancel_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<bool>("cancel");

    // The mirror holds back all but what the test lets through, one byte per tick.
    const QByteArray body = patternBytes(2 * trickleTicks);
    const qint64 gigabyte = qint64(1) << 30;
    Behaviour large = Behaviour::stall(body);
    large.length = Behaviour::Length::Announced;
    large.announcedLength = gigabyte;
    QTest::newRow("large file, cancelled") << large << gigabyte << qint64(0) << true;
    Behaviour chunked = Behaviour::stall(body);
    chunked.length = Behaviour::Length::Chunked;
    QTest::newRow("product ini, cancelled")
            << chunked << qint64(-1) << DownloadTaskSpecification::maxProductIniSize << true;
    Behaviour unannounced = Behaviour::stall(body);
    unannounced.length = Behaviour::Length::Omitted;
    QTest::newRow("file, more than its size")
            << unannounced << qint64(trickleTicks) << qint64(0) << false;
    QTest::newRow("unknown size, more than the limit")
            << unannounced << qint64(-1) << qint64(trickleTicks) << false;
}

void TestHostileMirrors::trickleEndsByLimitOrCancel()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(qint64, expectedSize);
    QFETCH(qint64, limit);
    QFETCH(bool, cancel);
    QVERIFY(fx->setUpMirrors(QStringList{u"m1"_s, u"m2"_s}));
    const QByteArray good = patternBytes(trickleTicks, 'g');
    fx->server.setRoute(path(u"m1"_s, u"f.bin"_s), behaviour);
    fx->server.setRoute(path(u"m2"_s, u"f.bin"_s), Behaviour::serve(good));
    QVERIFY(arrangeDraws({{2, 0}, {2, 1}}));
    // The plain download for the known size too: its ticks are what the stall rule counts.
    auto owned = std::make_unique<DownloadTaskSpecification>(&fx->manager, &fx->mirrors,
                                                             u"dl/f.bin"_s, local(u"f.bin"_s),
                                                             expectedSize, nullptr, 1.0, limit);
    DownloadTaskSpecification* download = owned.get();
    task = std::move(owned);
    fx->log.watchTask(download, u"task"_s);
    const QString file = local(u"f.bin"_s);

    download->execute();
    QTRY_COMPARE(fx->server.requests().size(), 1);
    const QList<QNetworkReply*> replies = runningReplies(fx->manager);
    QCOMPARE(replies.size(), 1);
    QNetworkReply* reply = replies.first();
    QVERIFY(hasBoundedReadBuffer(reply));
    // Connected after the download's own slot, so it sees what that slot left behind.
    QSignalSpy arrived(reply, &QNetworkReply::readyRead);
    for (qint64 sent = 1; sent <= trickleTicks; ++sent) {
        fx->server.resumeStalled(1);
        QVERIFY(arrived.wait());
        // Each byte is on disk as soon as it is in: nothing piles up in memory.
        QCOMPARE(QFileInfo(file).size(), sent);
        QCOMPARE(reply->bytesAvailable(), 0);
        quint64 done = 0;
        quint64 total = 0;
        quint64 speed = 0;
        bool downloading = false;
        download->timeTick(done, total, speed, downloading);
        QVERIFY(downloading);
        QCOMPARE(done, quint64(sent));
        QCOMPARE(speed, 1u);
    }
    QCOMPARE(download->state(), TaskState::Running);

    if (cancel) {
        download->userCanceled();
        // At once, not at the next byte or tick.
        QCOMPARE(download->state(), TaskState::UserCanceled);
        QCOMPARE(withoutProgress(fx->log.events()),
                 QStringList({u"task message Downloading dl/f.bin"_s,
                              u"task canceled UserCanceled"_s}));
        // Only a file of known size can be continued later.
        QCOMPARE(QFileInfo::exists(file), expectedSize > 0);
        QCOMPARE(fx->server.requests().size(), 1);
    } else {
        // One byte too many ends the attempt; the file comes from the other mirror.
        fx->server.resumeStalled(1);
        QTRY_VERIFY(download->state() != TaskState::Running);
        QCOMPARE(
                withoutProgress(fx->log.events()),
                QStringList({u"task message Downloading dl/f.bin"_s,
                             u"task message file dl/f.bin exceeds its expected size on mirror m1"_s,
                             u"task message Downloading dl/f.bin finished"_s, u"task finished"_s}));
        QCOMPARE(fileContent(file), good);
        QCOMPARE(fx->mirrors.getMirrorIndex(u"m1"_s), -1);
    }
    QCOMPARE(fx->usedSlots(), 0);
    QTRY_COMPARE(fx->server.answeringConnections(), 0);
}

QTEST_GUILESS_MAIN(TestHostileMirrors)
#include "tst_hostilemirrors.moc"
