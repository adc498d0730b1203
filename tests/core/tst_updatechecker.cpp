#include "udpresponder.h"
#include "updatechecker.h"

#include <QTest>
#include <QUdpSocket>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

class TestUpdateChecker : public QObject
{
    Q_OBJECT

private slots:
    void exchange_data();
    void exchange();
    void sendsExactlyTheTwoRequests();
    void missingReplyFails_data();
    void missingReplyFails();
    void unresolvableHostFails();
    void repliesFromOthersAreIgnored_data();
    void repliesFromOthersAreIgnored();
    void refusedRequestWaitsForTheTimeout();
    void entriesOfFailedAttemptStayAhead();
    void channelBeyondList();
};

namespace {

constexpr auto shortTimeout = 300ms;

UpdateChecker checkerFor(const UdpResponder& responder)
{
    return UpdateChecker(u"127.0.0.1"_s, responder.port(), shortTimeout);
}

QByteArray repeated(char c, int count)
{
    return QByteArray(count, c);
}

} // namespace

void TestUpdateChecker::exchange_data()
{
    QTest::addColumn<QByteArray>("versionReply");
    QTest::addColumn<QByteArray>("newsReply");
    QTest::addColumn<QStringList>("expectedVersions");
    QTest::addColumn<QStringList>("expectedNames");
    QTest::addColumn<QString>("expectedNews");

    QTest::newRow("names and plain entries") << "7#Seven,8"_ba
                                             << "Hello"_ba << QStringList{u"7"_s, u"8"_s}
                                             << QStringList{u"Seven"_s, QString()} << u"Hello"_s;
    QTest::newRow("name containing hashes") << "7#a#b#"_ba << QByteArray() << QStringList{u"7"_s}
                                            << QStringList{u"a#b#"_s} << QString();
    QTest::newRow("empty entries kept") << "5#Five,,7"_ba
                                        << "n"_ba << QStringList{u"5"_s, QString(), u"7"_s}
                                        << QStringList{u"Five"_s, QString(), QString()} << u"n"_s;
    QTest::newRow("empty reply is one empty entry")
            << QByteArray() << QByteArray() << QStringList{QString()} << QStringList{QString()}
            << QString();
    QTest::newRow("text ends at the first zero byte")
            << QByteArray("9#Nine\0,10#Ten", 14) << QByteArray("news\0tail", 9)
            << QStringList{u"9"_s} << QStringList{u"Nine"_s} << u"news"_s;
    QTest::newRow("bytes are Latin-1")
            << "1#\xe4\xff\x01"_ba
            << "\xfc\x80"_ba << QStringList{u"1"_s}
            << QStringList{QString::fromLatin1("\xe4\xff\x01")} << QString::fromLatin1("\xfc\x80");
    QTest::newRow("version reply cut at 511 bytes")
            << repeated('x', 511) + ",2" << QByteArray() << QStringList{QString(511, u'x')}
            << QStringList{QString()} << QString();
    QTest::newRow("news reply cut at 4095 bytes")
            << "3"_ba << repeated('n', 5000) << QStringList{u"3"_s} << QStringList{QString()}
            << QString(4095, u'n');
}

void TestUpdateChecker::exchange()
{
    QFETCH(QByteArray, versionReply);
    QFETCH(QByteArray, newsReply);
    QFETCH(QStringList, expectedVersions);
    QFETCH(QStringList, expectedNames);
    QFETCH(QString, expectedNews);

    UdpResponder responder;
    QVERIFY(responder.isListening());
    responder.setReplies({versionReply, newsReply});
    UpdateChecker checker = checkerFor(responder);

    QVERIFY(checker.checkUpdate());
    QStringList versions;
    QStringList names;
    for (const auto& [version, name] : std::as_const(checker.versions)) {
        versions.append(version);
        names.append(name);
    }
    QCOMPARE(versions, expectedVersions);
    QCOMPARE(names, expectedNames);
    QCOMPARE(checker.news, expectedNews);
}

void TestUpdateChecker::sendsExactlyTheTwoRequests()
{
    UdpResponder responder;
    responder.setReplies({"1"_ba, "n"_ba});
    UpdateChecker checker = checkerFor(responder);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(responder.requests(), (QList<QByteArray>{QByteArray("3\0", 2), QByteArray("*\0", 2)}));
}

void TestUpdateChecker::missingReplyFails_data()
{
    QTest::addColumn<QList<UdpResponder::Reply>>("replies");
    QTest::addColumn<int>("expectedEntries");

    QTest::newRow("no reply at all") << QList<UdpResponder::Reply>{} << 0;
    QTest::newRow("no news reply") << QList<UdpResponder::Reply>{"4#Four,5"_ba} << 2;
}

void TestUpdateChecker::missingReplyFails()
{
    QFETCH(QList<UdpResponder::Reply>, replies);
    QFETCH(int, expectedEntries);

    UdpResponder responder;
    responder.setReplies(replies);
    UpdateChecker checker = checkerFor(responder);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!checker.checkUpdate());
    QVERIFY(timer.elapsed() >= shortTimeout.count() - 50);
    QCOMPARE(checker.versions.size(), expectedEntries);
    QCOMPARE(checker.news, QString());
}

void TestUpdateChecker::unresolvableHostFails()
{
    UpdateChecker checker(u"no-such-host.invalid"_s, 17384, shortTimeout);
    QVERIFY(!checker.checkUpdate());
    QVERIFY(checker.versions.isEmpty());
}

void TestUpdateChecker::repliesFromOthersAreIgnored_data()
{
    QTest::addColumn<QList<UdpResponder::Reply>>("replies");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("forged reply first")
            << QList<UdpResponder::Reply>{"7#Seven"_ba, "news"_ba} << true;
    QTest::newRow("only forged replies") << QList<UdpResponder::Reply>{} << false;
}

// A stranger who sees the requests answers each one first, from another port.
void TestUpdateChecker::repliesFromOthersAreIgnored()
{
    QFETCH(QList<UdpResponder::Reply>, replies);
    QFETCH(bool, succeeds);

    UdpResponder responder;
    responder.setReplies(replies);
    responder.setForgedReplies({"1#Forged"_ba, "forged news"_ba});
    UpdateChecker checker = checkerFor(responder);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(checker.checkUpdate(), succeeds);
    if (succeeds) {
        QCOMPARE(checker.versions, (QList<UpdateChecker::VersionEntry>{{u"7"_s, u"Seven"_s}}));
        QCOMPARE(checker.news, u"news"_s);
    } else {
        QVERIFY(timer.elapsed() >= shortTimeout.count() - 50);
        QVERIFY(checker.versions.isEmpty());
    }
}

// Nobody at the port: the refusal that comes back does not cut the wait short.
void TestUpdateChecker::refusedRequestWaitsForTheTimeout()
{
    quint16 closedPort = 0;
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        closedPort = probe.localPort();
    }
    UpdateChecker checker(u"127.0.0.1"_s, closedPort, shortTimeout);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!checker.checkUpdate());
    QVERIFY(timer.elapsed() >= shortTimeout.count() - 50);
}

void TestUpdateChecker::entriesOfFailedAttemptStayAhead()
{
    UdpResponder responder;
    responder.setReplies({"1#One,2#Two"_ba, std::nullopt, "9#Nine"_ba, "news"_ba});
    UpdateChecker checker = checkerFor(responder);
    QVERIFY(!checker.checkUpdate());
    QVERIFY(checker.checkUpdate());

    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Stable),
             (UpdateChecker::VersionEntry{u"1"_s, u"One"_s}));
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Beta),
             (UpdateChecker::VersionEntry{u"2"_s, u"Two"_s}));
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Alpha),
             (UpdateChecker::VersionEntry{u"9"_s, u"Nine"_s}));
    QCOMPARE(checker.news, u"news"_s);
}

void TestUpdateChecker::channelBeyondList()
{
    UpdateChecker checker;
    checker.versions = UpdateChecker::parseVersionList(u"5#Five,6"_s);
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Beta),
             (UpdateChecker::VersionEntry{u"6"_s, QString()}));
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Alpha),
             UpdateChecker::VersionEntry());
}

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
