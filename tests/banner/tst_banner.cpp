#include "banner.h"
#include "banner_p.h"
#include "udpresponder.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QByteArray request("\x01\x01", 2);

// Every datagram sent over loopback before this one is in the responder's list once this one is.
void waitForEarlierRequests(UdpResponder& service)
{
    QUdpSocket marker;
    marker.writeDatagram("marker", QHostAddress::LocalHost, service.port());
    QTRY_VERIFY(service.requests().contains("marker"));
}

using Found = QList<QStringList>;

Found found(const QSignalSpy& spy)
{
    Found result;
    for (const QList<QVariant>& arguments : spy)
        result.append({arguments.at(0).toString(), arguments.at(1).toString()});
    return result;
}

} // namespace

class TestBanner : public QObject
{
    Q_OBJECT

private slots:
    void asksTwiceWhenNobodyAnswers();
    void replies_data();
    void replies();
    void answersFromOthersAreIgnored_data();
    void answersFromOthersAreIgnored();
    void resolvesNamesToTheFirstIpv4Address();
    void sendsNothingWithoutIpv4Address_data();
    void sendsNothingWithoutIpv4Address();
};

void TestBanner::asksTwiceWhenNobodyAnswers()
{
    constexpr auto interval = 300ms;
    UdpResponder service;
    QVERIFY(service.isListening());
    Banner banner(nullptr, u"127.0.0.1"_s, service.port(), interval);
    QSignalSpy spy(&banner, &Banner::bannerFound);
    QCOMPARE(banner.state(), Banner::State::Idle);

    QElapsedTimer sinceRun;
    sinceRun.start();
    banner.run();
    QCOMPARE(banner.state(), Banner::State::Resolving);
    QTRY_COMPARE(banner.state(), Banner::State::WaitingForReply);
    QTRY_COMPARE(banner.state(), Banner::State::WaitingAfterResend);
    QVERIFY(sinceRun.elapsed() >= interval.count());
    QTRY_COMPARE_WITH_TIMEOUT(banner.state(), Banner::State::Done, 10000);
    QVERIFY(sinceRun.elapsed() >= 2 * interval.count());
    QVERIFY(!BannerPrivateAccess::resendPending(banner));

    waitForEarlierRequests(service);
    QCOMPARE(service.requests(), (QList<QByteArray>{request, request, "marker"}));
    QCOMPARE(spy.size(), 0);
}

void TestBanner::replies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Found>("expected");

    const QString image = u"http://banner.example/b.png"_s;
    const QString click = u"http://click.example/?a=1"_s;
    QTest::newRow("image and click address")
            << (image + u',' + click).toLatin1() << Found{{image, click}};
    QTest::newRow("empty first part") << (u',' + click).toLatin1() << Found{{QString(), click}};
    QTest::newRow("empty second part") << (image + u',').toLatin1() << Found{{image, QString()}};
    QTest::newRow("only a comma") << ","_ba << Found{{QString(), QString()}};
    QTest::newRow("white space kept") << " a , b \n"_ba << Found{{u" a "_s, u" b \n"_s}};
    QTest::newRow("eight-bit bytes")
            << "\xe9t\xe9,\xff"_ba << Found{{u"\u00e9t\u00e9"_s, u"\u00ff"_s}};
    QTest::newRow("zero bytes") << QByteArray("a\0b,\0", 5)
                                << Found{{QString(u"a\0b"_s), QString(u"\0"_s)}};
    QTest::newRow("cut after 1024 bytes")
            << "a," + QByteArray(2000, 'x') << Found{{u"a"_s, QString(1022, u'x')}};
    QTest::newRow("no comma") << image.toLatin1() << Found{};
    QTest::newRow("two commas") << "a,b,c"_ba << Found{};
    QTest::newRow("empty datagram") << QByteArray() << Found{};
    QTest::newRow("second comma after the cut")
            << "a," + QByteArray(1022, 'x') + ",c" << Found{{u"a"_s, QString(1022, u'x')}};
    QTest::newRow("only comma after the cut") << QByteArray(1024, 'x') + ",c" << Found{};
    QTest::newRow("binary noise") << QByteArray("\x00\x01\xff\xfe,,\x80", 7) << Found{};
}

void TestBanner::replies()
{
    QFETCH(QByteArray, reply);
    QFETCH(Found, expected);

    UdpResponder service;
    QVERIFY(service.isListening());
    service.setReplies({reply});
    // Short, so that a resend after the reply would be due while the test looks.
    Banner banner(nullptr, u"127.0.0.1"_s, service.port(), 100ms);
    QSignalSpy spy(&banner, &Banner::bannerFound);
    banner.run();

    QTRY_COMPARE(banner.state(), Banner::State::Done);
    QVERIFY2(!BannerPrivateAccess::resendPending(banner), "a reply of any kind ends the asking");
    QCOMPARE(found(spy), expected);
    waitForEarlierRequests(service);
    QCOMPARE(service.requests(), (QList<QByteArray>{request, "marker"}));
}

void TestBanner::answersFromOthersAreIgnored_data()
{
    QTest::addColumn<QList<UdpResponder::Reply>>("replies");
    QTest::addColumn<Found>("expected");
    QTest::addColumn<int>("requests");

    QTest::newRow("forged answer first")
            << QList<UdpResponder::Reply>{"http://a.example/i.png,http://b.example/"_ba}
            << Found{{u"http://a.example/i.png"_s, u"http://b.example/"_s}} << 1;
    // Asked again after the interval and given up after the next, as if nobody had answered.
    QTest::newRow("only forged answers") << QList<UdpResponder::Reply>{} << Found{} << 2;
}

// A stranger who sees the requests answers each one first, from another port.
void TestBanner::answersFromOthersAreIgnored()
{
    QFETCH(QList<UdpResponder::Reply>, replies);
    QFETCH(Found, expected);
    QFETCH(int, requests);

    UdpResponder service;
    QVERIFY(service.isListening());
    service.setReplies(replies);
    const QByteArray forged = "http://evil.example/i.png,file:///etc/passwd"_ba;
    service.setForgedReplies({forged, forged});
    Banner banner(nullptr, u"127.0.0.1"_s, service.port(), 300ms);
    QSignalSpy spy(&banner, &Banner::bannerFound);
    banner.run();

    QTRY_COMPARE_WITH_TIMEOUT(banner.state(), Banner::State::Done, 10000);
    QCOMPARE(found(spy), expected);
    waitForEarlierRequests(service);
    QCOMPARE(service.requests().size(), requests + 1);
}

void TestBanner::resolvesNamesToTheFirstIpv4Address()
{
    const QList<QHostAddress> addresses = QHostInfo::fromName(u"localhost"_s).addresses();
    const auto ipv4 = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress& a) {
        return a.protocol() == QAbstractSocket::IPv4Protocol;
    });
    if (ipv4 == addresses.end() || *ipv4 != QHostAddress(QHostAddress::LocalHost))
        QSKIP("\"localhost\" does not name 127.0.0.1 first here");

    UdpResponder service;
    service.setReplies({"i,c"_ba});
    Banner banner(nullptr, u"localhost"_s, service.port(), 10s);
    QSignalSpy spy(&banner, &Banner::bannerFound);
    banner.run();
    QVERIFY(spy.wait());
    QCOMPARE(found(spy), (Found{{u"i"_s, u"c"_s}}));
}

void TestBanner::sendsNothingWithoutIpv4Address_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("IPv6 only") << u"::1"_s;
    QTest::newRow("unknown name") << u"banner.invalid"_s;
}

void TestBanner::sendsNothingWithoutIpv4Address()
{
    QFETCH(QString, host);
    Banner banner(nullptr, host, Banner::defaultPort, 100ms);
    QSignalSpy spy(&banner, &Banner::bannerFound);
    banner.run();
    QTRY_COMPARE_WITH_TIMEOUT(banner.state(), Banner::State::Done, 30000);
    QVERIFY2(!BannerPrivateAccess::resendPending(banner),
             "nothing was sent, so nothing is to be sent again");
    QCOMPARE(spy.size(), 0);
}

QTEST_GUILESS_MAIN(TestBanner)
#include "tst_banner.moc"
