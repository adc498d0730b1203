#include "configuration.h"
#include "downloadfiletaskspecification.h"
#include "downloadtaskspecification.h"
#include "downloadtestsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using Behaviour = TestHttpServer::Behaviour;

// A file that an earlier, killed run left in part is continued where it stops: a mirror that
// answers the range request with 206 sends only the rest, one that answers 200 sends it all
// again. A continued file whose sum is wrong is discarded and fetched whole, once.
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
    QTest::addColumn<Behaviour>("first");       // what the first mirror drawn answers
    QTest::addColumn<QByteArray>("left");       // what the killed run left
    QTest::addColumn<QByteArray>("rangeAsked"); // of the first request
    QTest::addColumn<qint64>("continuedFrom");  // by the last attempt
    QTest::addColumn<QStringList>("log");

    const QStringList plain{u"file message Downloading dl/a.bin"_s,
                            u"file message Downloading dl/a.bin finished"_s, u"file finished"_s};
    QTest::newRow("206 appends") << Behaviour::serveRanges(content) << content.left(180000)
                                 << "bytes=180000-"_ba << qint64(180000) << plain;
    QTest::newRow("200 starts over") << Behaviour::serve(content) << content.left(180000)
                                     << "bytes=180000-"_ba << qint64(0) << plain;
    QTest::newRow("a whole file is not continued")
            << Behaviour::serveRanges(content) << QByteArray() << QByteArray() << qint64(0)
            << plain;
    QByteArray wrong = content.left(180000);
    wrong[100] = char(~wrong.at(100));
    QTest::newRow("a wrong part is fetched whole once")
            << Behaviour::serveRanges(content) << wrong << "bytes=180000-"_ba << qint64(0)
            << QStringList{u"file message Downloading dl/a.bin"_s,
                           u"file message Downloading dl/a.bin finished"_s,
                           u"file message Signature check failed for %1"_s,
                           u"file message md5 sum for a.bin failed, invalidating mirror and "
                           u"retrying"_s,
                           u"file message Downloading dl/a.bin"_s,
                           u"file message Downloading dl/a.bin finished"_s,
                           u"file finished"_s};
}

void TestResumedDownload::resume()
{
    QFETCH(Behaviour, first);
    QFETCH(QByteArray, left);
    QFETCH(QByteArray, rangeAsked);
    QFETCH(qint64, continuedFrom);
    QFETCH(QStringList, log);
    const QByteArray content = patternBytes(200000, 'r');
    DownloadFixture fx;
    QVERIFY(fx.setUpMirrors(QStringList{u"m1"_s, u"m2"_s}));
    QVERIFY(arrangeDraws({{2, 0}, {1, 0}})); // m1 first; after it is dropped, m2
    fx.server.setRoute(DownloadFixture::path(u"m1"_s, u"dl/a.bin"_s), first);
    fx.server.setRoute(DownloadFixture::path(u"m2"_s, u"dl/a.bin"_s), Behaviour::serve(content));
    Configuration configuration;
    QVERIFY(fx.makeSessionDirectory(configuration));
    const QString local = configuration.tempDir + u"/a.bin"_s;
    if (!left.isEmpty()) {
        QFile part(local);
        QVERIFY(part.open(QIODevice::WriteOnly) && part.write(left) == left.size());
    }
    const QString md5 =
            QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    DownloadFileTaskSpecification task({u"dl"_s, u"a.bin"_s, md5, content.size()}, &fx.manager,
                                       &fx.mirrors, &configuration, nullptr, 1.0);
    fx.log.watchTask(&task, u"file"_s);

    task.execute();
    QTRY_VERIFY(task.state() != TaskSpecification::Running);

    QCOMPARE(task.state(), TaskSpecification::Finished);
    QCOMPARE(fileContent(local), content);
    for (QString& line : log)
        line = line.arg(local);
    QCOMPARE(withoutProgress(fx.log.events()).filter(u"file "_s), log);
    const QList<TestHttpServer::Request>& requests = fx.server.requests();
    QCOMPARE(requests.first().headers.value("range"), rangeAsked);
    const auto* download = task.findChild<DownloadTaskSpecification*>();
    QVERIFY(download);
    QCOMPARE(download->resumedFrom(), continuedFrom);
    // A second request, after a wrong part, asks for the whole file.
    if (requests.size() > 1)
        QVERIFY(!requests.at(1).hasHeader("range"));
}

QTEST_GUILESS_MAIN(TestResumedDownload)
#include "tst_resumeddownload.moc"
