#include "httpserver.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

using Behaviour = TestHttpServer::Behaviour;

// The test server that the download and engine tests stand their mirrors on.
class TestHttpServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void answers_data();
    void answers();
    void recordsRequests();
    void stallHoldsBodyUntilResumed();

private:
    struct Answer
    {
        int status = 0;
        QByteArray body;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QVariant length;
    };
    Answer get(const QString& path, const QList<std::pair<QByteArray, QByteArray>>& headers = {});

    std::unique_ptr<TestHttpServer> server;
    QNetworkAccessManager manager;
    QTemporaryDir dir;
};

void TestHttpServerTest::init()
{
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->isListening());
}

void TestHttpServerTest::cleanup()
{
    server.reset();
}

TestHttpServerTest::Answer
TestHttpServerTest::get(const QString& path,
                        const QList<std::pair<QByteArray, QByteArray>>& headers)
{
    QNetworkRequest request(server->url(path));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    [&] { QVERIFY(finished.wait()); }();
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
            reply->error(), reply->header(QNetworkRequest::ContentLengthHeader)};
}

void TestHttpServerTest::answers_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QVariant>("length");
    QTest::newRow("route") << u"/r/a b"_s << 200 << QByteArray("route") << QVariant(qint64(5));
    QTest::newRow("without length") << u"/nolength"_s << 200 << QByteArray("free") << QVariant();
    QTest::newRow("chunked") << u"/chunked"_s << 200 << QByteArray("in chunks") << QVariant();
    QTest::newRow("more than announced")
            << u"/more"_s << 200 << QByteArray("abc") << QVariant(qint64(3));
    QTest::newRow("served file") << u"/sub/file.txt"_s << 200 << QByteArray("on disk")
                                 << QVariant(qint64(7));
    QTest::newRow("unknown") << u"/nothing"_s << 404 << QByteArray() << QVariant();
    QTest::newRow("moved") << u"/moved"_s << 301 << QByteArray() << QVariant();
}

void TestHttpServerTest::answers()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QVariant, length);
    QVERIFY(QDir(dir.path()).mkpath(u"root/sub"_s));
    QFile file(dir.filePath(u"root/sub/file.txt"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("on disk");
    file.close();
    server->setServedDirectory(dir.filePath(u"root"_s));
    server->setRoute(u"/r/a b"_s, Behaviour::serve("route"));
    server->setRoute(u"/nolength"_s, Behaviour::serveWithoutLength("free"));
    Behaviour chunked = Behaviour::trickle("in chunks", 3, std::chrono::milliseconds(1));
    chunked.length = Behaviour::Length::Chunked;
    server->setRoute(u"/chunked"_s, chunked);
    server->setRoute(u"/more"_s, Behaviour::lyingLength("abcdef", 3));
    server->setRoute(u"/moved"_s, Behaviour::movedPermanently(u"/elsewhere"_s));

    const Answer answer = get(path);

    QCOMPARE(answer.status, status);
    if (status == 200) {
        QCOMPARE(answer.body, body);
        QCOMPARE(answer.length, length);
    }
    if (status == 301)
        QVERIFY(answer.body.contains("document has moved"));
}

void TestHttpServerTest::recordsRequests()
{
    server->setRoute(u"/a"_s, Behaviour::unauthorized());
    QSignalSpy received(server.get(), &TestHttpServer::requestReceived);

    QCOMPARE(get(u"/a?x=1"_s, {{"Range", "bytes=5-"}}).error,
             QNetworkReply::AuthenticationRequiredError);

    QCOMPARE(received.count(), 1);
    QCOMPARE(server->requestedPaths(), QStringList{u"/a"_s});
    const TestHttpServer::Request& request = server->requests().at(0);
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, QByteArray("/a?x=1"));
    QCOMPARE(request.headers.value("range"), QByteArray("bytes=5-"));
    QVERIFY(!request.hasHeader("Proxy-Authorization"));
}

void TestHttpServerTest::stallHoldsBodyUntilResumed()
{
    server->setRoute(u"/s"_s, Behaviour::stall("0123456789", 2));
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(server->url(u"/s"_s))));
    QByteArray body;
    connect(reply.get(), &QNetworkReply::readyRead, this, [&] { body += reply->readAll(); });

    QTRY_COMPARE(body, QByteArray("01"));
    QCOMPARE(server->openConnections(), 1);
    server->resumeStalled(3);
    QTRY_COMPARE(body, QByteArray("01234"));
    server->resumeStalled();
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(body, QByteArray("0123456789"));
    QTRY_COMPARE(server->openConnections(), 0);
}

QTEST_GUILESS_MAIN(TestHttpServerTest)
#include "tst_httpserver.moc"
