#include "downloadfiletaskspecification.h"
#include "downloadtaskspecification.h"
#include "downloadtestsupport.h"
#include "sessionlayout.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using Behaviour = TestHttpServer::Behaviour;

// A file that an earlier, killed run left in part is continued where it stops, also after an
// attempt that failed: a mirror that answers the range request with 206 sends only the rest, one
// that answers 200 sends it all again. A continued file whose sum is wrong is discarded and
// fetched whole, once, without blaming the mirror.
class TestResumedDownload : public QObject
{
    Q_OBJECT

private slots:
    void resume_data();
    void resume();
};

void TestResumedDownload::resume_data()
{
    const QByteArray content = patternBytes(200000, 'r');
    QTest::addColumn<Behaviour>("first");            // what the first mirror drawn answers
    QTest::addColumn<int>("mirrorCount");            // m1, then m2 that serves ranges
    QTest::addColumn<QByteArray>("left");            // what the killed run left
    QTest::addColumn<QByteArrayList>("rangesAsked"); // one per request
    QTest::addColumn<qint64>("continuedFrom");       // by the last attempt
    QTest::addColumn<QStringList>("log");

    const QStringList plain{u"file message Downloading dl/a.bin"_s,
                            u"file message Downloading dl/a.bin finished"_s, u"file finished"_s};
    const QByteArray part = content.left(180000);
    const QByteArrayList once{"bytes=180000-"_ba};
    QTest::newRow("206 appends") << Behaviour::serveRanges(content) << 2 << part << once
                                 << qint64(180000) << plain;
    QTest::newRow("200 starts over")
            << Behaviour::serve(content) << 2 << part << once << qint64(0) << plain;
    QTest::newRow("a whole file is not continued")
            << Behaviour::serveRanges(content) << 2 << QByteArray() << QByteArrayList{QByteArray()}
            << qint64(0) << plain;
    Behaviour oddRange = Behaviour::serve(content.mid(180000));
    oddRange.status = 206;
    oddRange.headers = {{"Content-Range", "Bytes  180000-199999/*"}};
    QTest::newRow("an oddly spelled range")
            << oddRange << 2 << part << once << qint64(180000) << plain;
    QTest::newRow("the part outlives a mirror without the file")
            << Behaviour::notFound() << 2 << part << QByteArrayList{once.first(), once.first()}
            << qint64(180000)
            << QStringList{plain.first(), u"file message %2 returned 404"_s, plain.at(1),
                           plain.at(2)};
    QByteArray wrong = part;
    wrong[100] = char(~wrong.at(100));
    // The alpha channel has one mirror: it must not be dropped for a part it did not send.
    QTest::newRow("a wrong part is fetched whole once")
            << Behaviour::serveRanges(content) << 1 << wrong
            << QByteArrayList{once.first(), QByteArray()} << qint64(0)
            << QStringList{u"file message Downloading dl/a.bin"_s,
                           u"file message Downloading dl/a.bin finished"_s,
                           u"file message Signature check failed for %1"_s,
                           u"file message md5 sum for a.bin failed on a continued download, "
                           u"fetching it whole"_s,
                           u"file message Downloading dl/a.bin"_s,
                           u"file message Downloading dl/a.bin finished"_s,
                           u"file finished"_s};
}

void TestResumedDownload::resume()
{
    QFETCH(Behaviour, first);
    QFETCH(int, mirrorCount);
    QFETCH(QByteArray, left);
    QFETCH(QByteArrayList, rangesAsked);
    QFETCH(qint64, continuedFrom);
    QFETCH(QStringList, log);
    const QByteArray content = patternBytes(200000, 'r');
    DownloadFixture fx;
    QVERIFY(fx.setUpMirrors(QStringList{u"m1"_s, u"m2"_s}.first(mirrorCount)));
    QVERIFY(arrangeDraws({{2, 0}, {1, 0}})); // m1 first; after it is dropped, m2
    fx.server.setRoute(DownloadFixture::path(u"m1"_s, u"dl/a.bin"_s), first);
    fx.server.setRoute(DownloadFixture::path(u"m2"_s, u"dl/a.bin"_s),
                       Behaviour::serveRanges(content));
    SessionLayout session;
    QVERIFY(fx.makeSessionDirectory(session));
    const QString local = session.filePath(u"a.bin"_s);
    if (!left.isEmpty()) {
        QFile part(local);
        QVERIFY(part.open(QIODevice::WriteOnly) && part.write(left) == left.size());
    }
    const QString md5 =
            QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    DownloadFileTaskSpecification task({u"dl"_s, u"a.bin"_s, md5, content.size()}, &fx.manager,
                                       &fx.mirrors, session, fx.installation(), nullptr, 1.0);
    fx.log.watchTask(&task, u"file"_s);

    task.execute();
    QTRY_VERIFY(task.state() != TaskSpecification::Running);

    QCOMPARE(task.state(), TaskSpecification::Finished);
    QCOMPARE(fileContent(local), content);
    const QString url = fx.server.urlText(DownloadFixture::path(u"m1"_s, u"dl/a.bin"_s));
    for (QString& line : log)
        line.replace(u"%1"_s, local).replace(u"%2"_s, url);
    QCOMPARE(withoutProgress(fx.log.events()).filter(u"file "_s), log);
    QByteArrayList ranges;
    for (const TestHttpServer::Request& request : fx.server.requests())
        ranges.append(request.headers.value("range"));
    QCOMPARE(ranges, rangesAsked);
    const auto* download = task.findChild<DownloadTaskSpecification*>();
    QVERIFY(download);
    QCOMPARE(download->resumedFrom(), continuedFrom);
    QVERIFY(fx.mirrors.getMirrorIndex(download->mirror().name) >= 0);
}

QTEST_GUILESS_MAIN(TestResumedDownload)
#include "tst_resumeddownload.moc"
