#include "banner.h"
#include "bannerimagefetch.h"
#include "configuration.h"
#include "httpserver.h"
#include "udpresponder.h"
#include "updatechecker.h"
#include "updateengine.h"
#include "updateengine_p.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

using Behaviour = TestHttpServer::Behaviour;
constexpr qint64 limit = BannerImageFetch::maxImageSize;
const QString click = u"http://click.example/?id=4"_s;

QByteArray image(qsizetype size)
{
    return QByteArray(size, 'i');
}

} // namespace

// The engine's part of the banner: it fetches the image that the banner service names.
class TestBannerDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void imageSizeLimit_data();
    void imageSizeLimit();
    void failedTransferPassesItsBodyOn();
    void fetchesOnlyWebAddresses_data();
    void fetchesOnlyWebAddresses();
    void fetchesOneImageAtATime();
    void fetchesThroughTheProxy();
    void endsWithATransferInFlight();
    void asksTheServiceOnItsFixedPort();

private:
    void makeEngine();
    // What the banner service's answer makes the engine do.
    void announce(const QString& bannerUrl, const QString& clickUrl = click);
    [[nodiscard]] QList<QVariant> banner(qsizetype index) const { return found->at(index); }

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<Configuration> configuration;
    std::unique_ptr<UpdateEngine> engine;
    std::unique_ptr<QSignalSpy> found;
};

void TestBannerDownload::init()
{
    root = std::make_unique<QTemporaryDir>();
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->isListening());
}

void TestBannerDownload::makeEngine()
{
    configuration = std::make_unique<Configuration>(InstallationLayout(root->path()));
    engine = std::make_unique<UpdateEngine>(*configuration);
    found = std::make_unique<QSignalSpy>(engine.get(), &UpdateEngine::bannerFound);
}

void TestBannerDownload::cleanup()
{
    found.reset();
    engine.reset();
    configuration.reset();
    server.reset();
    root.reset();
}

// A banner service that answers at once with the given addresses.
class ScriptedQuery : public BannerQuery
{
public:
    ScriptedQuery(QString bannerUrl, QString clickUrl)
        : bannerUrl(std::move(bannerUrl))
        , clickUrl(std::move(clickUrl))
    {}
    void run() override { emit bannerFound(bannerUrl, clickUrl); }

private:
    QString bannerUrl;
    QString clickUrl;
};

void TestBannerDownload::announce(const QString& bannerUrl, const QString& clickUrl)
{
    engine->getBanner(std::make_unique<ScriptedQuery>(bannerUrl, clickUrl));
}

void TestBannerDownload::imageSizeLimit_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QByteArray>("shown"); // null: dropped

    QTest::newRow("limit announced") << Behaviour::serve(image(limit)) << image(limit);
    QTest::newRow("one byte more announced") << Behaviour::serve(image(limit + 1)) << QByteArray();
    // The announcement alone decides: the body never comes unless the engine waits for it.
    QTest::newRow("one byte more announced, body held back")
            << Behaviour::stall(image(limit + 1), 0) << QByteArray();
    QTest::newRow("limit, no length")
            << Behaviour::serveWithoutLength(image(limit)) << image(limit);
    QTest::newRow("one byte more, no length")
            << Behaviour::serveWithoutLength(image(limit + 1)) << QByteArray();
    QTest::newRow("endless, no length") << Behaviour::endless() << QByteArray();
    // Not followed: the page comes as it is, and the window finds no image in it.
    const Behaviour moved = Behaviour::movedPermanently(u"http://127.0.0.1:9/banner.png"_s);
    QTest::newRow("redirect") << moved << moved.body;
    QTest::newRow("small announced, more sent")
            << Behaviour::lyingLength(image(limit + 5000), 1000) << image(1000);
}

void TestBannerDownload::imageSizeLimit()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(QByteArray, shown);
    makeEngine();
    server->setRoute(u"/banner.png"_s, behaviour);

    announce(server->urlText(u"/banner.png"_s));
    QVERIFY(UpdateEnginePrivateAccess::bannerDownloadInProgress(*engine));
    QTRY_VERIFY(!UpdateEnginePrivateAccess::bannerDownloadInProgress(*engine));
    if (shown.isNull()) {
        QCOMPARE(found->size(), 0);
        QTRY_COMPARE(server->openConnections(), 0);
    } else {
        QCOMPARE(*found, (QList<QList<QVariant>>{{shown, click}}));
    }
}

void TestBannerDownload::failedTransferPassesItsBodyOn()
{
    makeEngine();
    announce(server->urlText(u"/missing.png"_s));
    QVERIFY(found->wait());
    QCOMPARE(banner(0), (QList<QVariant>{Behaviour::notFound().body, click}));

    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString refused = u"http://127.0.0.1:%1/banner.png"_s.arg(closed.serverPort());
    closed.close();
    announce(refused);
    QVERIFY(found->wait());
    QCOMPARE(banner(1), (QList<QVariant>{QByteArray(), click}));
}

void TestBannerDownload::fetchesOnlyWebAddresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("fetched");

    QTest::newRow("http") << u"http://127.0.0.1:9/banner.png"_s << true;
    QTest::newRow("upper-case https") << u"HTTPS://127.0.0.1:9/banner.png"_s << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("relative") << u"banner.png"_s << false;
    QTest::newRow("no host") << u"http:///banner.png"_s << false;
    QTest::newRow("local file") << u"file:///etc/hostname"_s << false;
    QTest::newRow("resource") << u"qrc:/images/sonavelle_logo.png"_s << false;
    QTest::newRow("ftp") << u"ftp://127.0.0.1:9/banner.png"_s << false;
    QTest::newRow("not an address") << u"http://exa mple.com:99999999/%%"_s << false;
}

void TestBannerDownload::fetchesOnlyWebAddresses()
{
    QFETCH(QString, address);
    QFETCH(bool, fetched);
    makeEngine();
    announce(address);
    QCOMPARE(UpdateEnginePrivateAccess::bannerDownloadInProgress(*engine), fetched);
    QCOMPARE(found->size(), 0);
}

void TestBannerDownload::fetchesOneImageAtATime()
{
    makeEngine();
    server->setRoute(u"/first.png"_s, Behaviour::stall("first", 0));
    server->setRoute(u"/second.png"_s, Behaviour::serve("second"));
    QSignalSpy requested(server.get(), &TestHttpServer::requestReceived);

    announce(server->urlText(u"/first.png"_s), u"http://first.example/"_s);
    QVERIFY(requested.wait());
    announce(server->urlText(u"/second.png"_s), u"http://second.example/"_s);
    engine->getBanner(std::make_unique<Banner>());
    QCOMPARE(engine->findChildren<Banner*>().size(), 0);

    server->resumeStalled();
    QVERIFY(found->wait());
    QCOMPARE(*found, (QList<QList<QVariant>>{{"first"_ba, u"http://first.example/"_s}}));
    QCOMPARE(server->requestedPaths(), QStringList{u"/first.png"_s});

    // With the image there, the next answer is fetched.
    announce(server->urlText(u"/second.png"_s), u"http://second.example/"_s);
    QVERIFY(found->wait());
    QCOMPARE(banner(1), (QList<QVariant>{"second"_ba, u"http://second.example/"_s}));
}

void TestBannerDownload::fetchesThroughTheProxy()
{
    QFile ini(root->filePath(u"update.ini"_s));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[update]\nproxy=" + server->urlText().toLatin1() + "\n");
    ini.close();
    makeEngine();
    // A proxy is asked for the whole address.
    server->setRoute(u"http://banner.example/b.png"_s, Behaviour::serve("image"));

    announce(u"http://banner.example/b.png"_s);
    QVERIFY(found->wait());
    QCOMPARE(banner(0), (QList<QVariant>{"image"_ba, click}));
    QCOMPARE(server->requests().at(0).target, "http://banner.example/b.png"_ba);
}

void TestBannerDownload::endsWithATransferInFlight()
{
    makeEngine();
    server->setRoute(u"/banner.png"_s, Behaviour::stall(image(1000), 10));
    QSignalSpy requested(server.get(), &TestHttpServer::requestReceived);
    announce(server->urlText(u"/banner.png"_s));
    QVERIFY(requested.wait());
    engine.reset();
    QTRY_COMPARE(server->openConnections(), 0);
    QCOMPARE(found->size(), 0);
}

void TestBannerDownload::asksTheServiceOnItsFixedPort()
{
    if (UpdateChecker::defaultHost() != u"127.0.0.1")
        QSKIP("the banner service host of this build is not the loopback address");
    UdpResponder service(Banner::defaultPort);
    QVERIFY2(service.isListening(), "the banner service's port is taken");
    makeEngine();
    // Other programs of the suite may ask too; every request gets the answer.
    const QByteArray answer = server->urlText(u"/banner.png"_s).toLatin1() + ',' + click.toLatin1();
    service.setReplies(QList<UdpResponder::Reply>(20, answer));
    server->setRoute(u"/banner.png"_s, Behaviour::serve("image"));

    engine->getBanner(std::make_unique<Banner>());
    QCOMPARE(engine->findChildren<Banner*>().size(), 1);
    QVERIFY(found->wait(15000));
    QCOMPARE(banner(0), (QList<QVariant>{"image"_ba, click}));
    QCOMPARE(service.requests().value(0), QByteArray("\x01\x01", 2));
}

QTEST_MAIN(TestBannerDownload)
#include "tst_bannerdownload.moc"
