#include "testfiles.h"
#include "updatechecker.h"
#include "updateserverratelimiter.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <chrono>

using namespace Qt::StringLiterals;

namespace {

constexpr int waitMs = 10000;

const QString serverProgram = QString::fromLocal8Bit(UPDATESERVER_PROGRAM);

// The server as a process on ports of its own choosing, with what it has logged so far.
class ServerProcess
{
public:
    ServerProcess() = default;
    ~ServerProcess()
    {
        process.kill();
        process.waitForFinished(waitMs);
    }

    // Asks the server to stop as a service manager does; true when it ended by itself.
    [[nodiscard]] bool terminate()
    {
        process.terminate();
        return process.waitForFinished(waitMs) && process.exitStatus() == QProcess::NormalExit;
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts on free ports and waits until both services have reported.
    [[nodiscard]] bool start(const QStringList& arguments)
    {
        process.start(serverProgram,
                      QStringList{u"--version-port"_s, u"0"_s, u"--banner-port"_s, u"0"_s} +
                              arguments);
        static const QRegularExpression versionLine(
                u"^version service listening on 127\\.0\\.0\\.1 port (\\d+)$"_s);
        static const QRegularExpression bannerLine(
                u"^banner service (listening on 127\\.0\\.0\\.1 port (\\d+)|off: .*)$"_s);
        if (!waitForLines(2))
            return false;
        const QRegularExpressionMatch version = versionLine.match(output.at(0));
        const QRegularExpressionMatch banner = bannerLine.match(output.at(1));
        versionPort = quint16(version.captured(1).toUInt());
        bannerPort = quint16(banner.captured(2).toUInt());
        return version.hasMatch() && banner.hasMatch();
    }

    // Waits until the server has written at least count lines.
    [[nodiscard]] bool waitForLines(qsizetype count)
    {
        const QDeadlineTimer deadline(waitMs);
        while (output.size() < count) {
            if (!process.waitForReadyRead(int(deadline.remainingTime())))
                return false;
            while (process.canReadLine())
                output.append(QString::fromLocal8Bit(process.readLine()).chopped(1));
        }
        return true;
    }

    // The lines about requests, with a peer of 127.0.0.1 and the given port shown as "peer".
    [[nodiscard]] QStringList requestLog(quint16 peerPort) const
    {
        QStringList lines = output.mid(2);
        const QString peer = u"127.0.0.1:"_s + QString::number(peerPort) + u' ';
        for (QString& line : lines) {
            if (line.startsWith(peer))
                line = u"peer "_s + line.mid(peer.size());
        }
        return lines;
    }

    QProcess process;
    QStringList output;
    quint16 versionPort = 0;
    quint16 bannerPort = 0;
};

// A client socket of the test's own, so that its port is known and its replies can be counted.
class Client
{
public:
    explicit Client(const QHostAddress& address = QHostAddress::LocalHost)
    {
        bound = socket.bind(address, 0);
    }

    [[nodiscard]] bool isBound() const { return bound; }
    [[nodiscard]] quint16 port() const { return socket.localPort(); }

    void send(const QByteArray& data, quint16 serverPort)
    {
        socket.writeDatagram(data, QHostAddress::LocalHost, serverPort);
    }

    [[nodiscard]] QByteArray receive()
    {
        if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(waitMs))
            return "(no reply)";
        return socket.receiveDatagram().data();
    }

    [[nodiscard]] bool hasPending() { return socket.hasPendingDatagrams(); }

private:
    QUdpSocket socket;
    bool bound = false;
};

struct Finished
{
    int exitCode = -1;
    QStringList err;
};

// Runs a server that is expected to refuse its configuration and end.
Finished runToEnd(const QStringList& arguments)
{
    QProcess process;
    process.start(serverProgram, arguments);
    Finished result;
    if (!process.waitForFinished(waitMs)) {
        process.kill();
        process.waitForFinished(waitMs);
        return result;
    }
    result.exitCode = process.exitCode();
    result.err = QString::fromLocal8Bit(process.readAllStandardError()).split(u'\n');
    result.err.removeLast();
    return result;
}

QString repeated(char c, qsizetype count)
{
    return QString(count, QLatin1Char(c));
}

} // namespace

class TestUpdateServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void answersTheVersionQuery();
    void commandLineOverridesTheConfigurationFile();
    void followsTheChannelStatement();
    void repliesFillTheUpdatersBuffers();
    void answersTheBannerRequest();
    void ignoresMalformedRequests_data();
    void ignoresMalformedRequests();
    void refusesConfigurations_data();
    void refusesConfigurations();
    void limitsRepliesPerAddress();
    void floodsFromForgedAddressesStayBounded();
    void refusesAPortInUse();
    void warnsAboutUnknownSettings();
    void exampleConfigurationServes();
    void stopsWhenTerminated();

private:
    [[nodiscard]] QString path(const QString& name) const { return dir->filePath(name); }
    [[nodiscard]] QString writeConfig(const QByteArray& content) const;

    std::unique_ptr<QTemporaryDir> dir;
};

void TestUpdateServer::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

QString TestUpdateServer::writeConfig(const QByteArray& content) const
{
    const QString file = path(u"updateserver.ini"_s);
    return writeFile(file, content) ? file : QString();
}

void TestUpdateServer::answersTheVersionQuery()
{
    // Text beyond Latin-1 travels in the news as character references.
    QVERIFY(writeFile(path(u"news.html"_s),
                      u"<b>Neu:</b> Grüße – 5 € <!--URL=http://example.com/news-->"_s.toUtf8()));
    const QString config = writeConfig("[stable]\nversion=5\nname=Sonavelle 5 #1\n"
                                       "[beta]\nversion=6\n"
                                       "[news]\nfile=news.html\n");
    ServerProcess server;
    QVERIFY(server.start({u"--config"_s, config}));
    QCOMPARE(server.output.at(1), u"banner service off: no banner image given"_s);

    UpdateChecker checker(u"127.0.0.1"_s, server.versionPort, std::chrono::milliseconds(waitMs));
    QVERIFY(checker.checkUpdate());
    const QList<UpdateChecker::VersionEntry> expectedVersions{
            {u"5"_s, u"Sonavelle 5 #1"_s}, {u"6"_s, QString()}, {QString(), QString()}};
    QCOMPARE(checker.versions, expectedVersions);
    const QString expectedNews =
            u"<b>Neu:</b> Grüße &#8211; 5 &#8364; <!--URL=http://example.com/news-->"_s;
    QCOMPARE(checker.news, expectedNews);

    QVERIFY(server.waitForLines(4));
    static const QRegularExpression peer(u"^127\\.0\\.0\\.1:\\d+ "_s);
    QStringList log = server.output.mid(2);
    for (QString& line : log) {
        QVERIFY2(peer.match(line).hasMatch(), qPrintable(line));
        line.remove(peer);
    }
    const QString versionList = u"5#Sonavelle 5 #1,6,"_s;
    QCOMPARE(log, (QStringList{u"version list request: replied %1 bytes"_s.arg(versionList.size()),
                               u"news request: replied %1 bytes"_s.arg(expectedNews.size())}));
}

void TestUpdateServer::commandLineOverridesTheConfigurationFile()
{
    const QString config = writeConfig("[stable]\nversion=5\nname=Five\n[beta]\nversion=6\n"
                                       "[news]\ntext=\"from the file, with a comma\"\n");
    ServerProcess server;
    QVERIFY(server.start({u"--config"_s, config, u"--stable"_s, u"9"_s, u"--alpha"_s, u"11"_s,
                          u"--alpha-name"_s, u"Nightly"_s}));
    UpdateChecker checker(u"127.0.0.1"_s, server.versionPort, std::chrono::milliseconds(waitMs));
    QVERIFY(checker.checkUpdate());
    const QList<UpdateChecker::VersionEntry> expected{
            {u"9"_s, u"Five"_s}, {u"6"_s, QString()}, {u"11"_s, u"Nightly"_s}};
    QCOMPARE(checker.versions, expected);
    QCOMPARE(checker.news, u"from the file, with a comma"_s);
}

void TestUpdateServer::followsTheChannelStatement()
{
    const QString statementFile = path(u"client.channels"_s);
    const auto writeStatement = [&](const QByteArray& stable) {
        return writeFile(statementFile,
                         "sonavelle-channels\t1\nclient-type\tclient\n"
                         "signed\t2026-12-08T08:00:00Z\nexpires\t2026-12-15T08:00:00Z\n"
                         "channel\tbeta\t1236\nchannel\tstable\t" +
                                 stable + "\nrollout\tstable\t99999\t1000\topen\n");
    };
    QVERIFY(writeStatement("1235"));
    ServerProcess server;
    QVERIFY(server.start(
            {u"--config"_s, writeConfig("[server]\nchannels=client.channels\n"
                                        "[stable]\nname=Five\n[alpha]\nversion=3\n")}));
    Client client;
    QVERIFY(client.isBound());
    const auto ask = [&] {
        client.send(QByteArray("3\0", 2), server.versionPort);
        return client.receive();
    };
    QCOMPARE(ask(), QByteArray("1235#Five,1236,3"));
    // Another size, as a rewrite within the same clock tick keeps the modification time.
    QVERIFY(writeStatement("999"));
    QCOMPARE(ask(), QByteArray("999#Five,1236,3"));
    QVERIFY(writeFile(statementFile, "sonavelle-channels\t1\n"));
    QCOMPARE(ask(), QByteArray("999#Five,1236,3"));
    QVERIFY(server.waitForLines(9));
    const QString prefix = u"channel statement "_s + statementFile;
    const QString answered = u"peer version list request: replied 15 bytes"_s;
    QCOMPARE(server.requestLog(client.port()),
             (QStringList{prefix + u": stable 1235, beta 1236"_s,
                          prefix + u" does not list alpha: answered from the configuration"_s,
                          u"peer version list request: replied 16 bytes"_s,
                          prefix + u": stable 999, beta 1236"_s, answered,
                          prefix + u" not taken, the versions stay: no client-type record"_s,
                          answered}));
}

// The largest replies that are accepted arrive whole.
void TestUpdateServer::repliesFillTheUpdatersBuffers()
{
    const QString name = repeated('n', 511 - int(qstrlen("1#,,")));
    const QString news = repeated('x', 4095);
    ServerProcess server;
    QVERIFY(server.start({u"--stable"_s, u"1"_s, u"--stable-name"_s, name, u"--news"_s, news}));
    UpdateChecker checker(u"127.0.0.1"_s, server.versionPort, std::chrono::milliseconds(waitMs));
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Stable),
             (UpdateChecker::VersionEntry{u"1"_s, name}));
    QCOMPARE(checker.versions.size(), 3);
    QCOMPARE(checker.news, news);
}

void TestUpdateServer::answersTheBannerRequest()
{
    ServerProcess server;
    QVERIFY(server.start({u"--stable"_s, u"1"_s, u"--banner-image"_s,
                          u"http://127.0.0.1/banner.png"_s, u"--banner-click"_s,
                          u"https://example.com/some page"_s.replace(u' ', u"%20"_s)}));
    Client client;
    QVERIFY(client.isBound());
    client.send(QByteArray("\x01\x01", 2), server.bannerPort);
    QCOMPARE(client.receive(),
             QByteArray("http://127.0.0.1/banner.png,https://example.com/some%20page"));
    QVERIFY(server.waitForLines(3));
    QCOMPARE(server.requestLog(client.port()),
             QStringList{u"peer banner request: replied 59 bytes"_s});
}

void TestUpdateServer::ignoresMalformedRequests_data()
{
    QTest::addColumn<bool>("banner");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("expectedLog");

    QTest::newRow("version without zero") << false << QByteArray("3") << u"1 byte (33)"_s;
    QTest::newRow("news with extra byte")
            << false << QByteArray("*\0\0", 3) << u"3 bytes (2a 00 00)"_s;
    QTest::newRow("unknown letter") << false << QByteArray("4\0", 2) << u"2 bytes (34 00)"_s;
    QTest::newRow("empty") << false << QByteArray() << u"0 bytes"_s;
    QTest::newRow("long") << false << QByteArray(40, 'A')
                          << u"40 bytes (41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 ...)"_s;
    QTest::newRow("banner half") << true << QByteArray("\x01") << u"1 byte (01)"_s;
    QTest::newRow("version query at the banner")
            << true << QByteArray("3\0", 2) << u"2 bytes (33 00)"_s;
}

void TestUpdateServer::ignoresMalformedRequests()
{
    QFETCH(bool, banner);
    QFETCH(QByteArray, request);
    QFETCH(QString, expectedLog);

    ServerProcess server;
    QVERIFY(server.start({u"--stable"_s, u"1"_s, u"--banner-image"_s, u"http://h/b.png"_s}));
    const quint16 port = banner ? server.bannerPort : server.versionPort;
    Client client;
    QVERIFY(client.isBound());
    client.send(request, port);
    QVERIFY(server.waitForLines(3));
    // Still serving, and the reply that arrives first is the one to the proper request.
    const QByteArray proper = banner ? QByteArray("\x01\x01", 2) : QByteArray("3\0", 2);
    client.send(proper, port);
    QCOMPARE(client.receive(), banner ? QByteArray("http://h/b.png,") : QByteArray("1,,"));
    QVERIFY(server.waitForLines(4));
    const QString answered = banner ? u"peer banner request: replied 15 bytes"_s
                                    : u"peer version list request: replied 3 bytes"_s;
    QCOMPARE(server.requestLog(client.port()),
             (QStringList{u"peer malformed request ignored: "_s + expectedLog, answered}));
}

void TestUpdateServer::refusesConfigurations_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("configFile");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("expectedErrors");

    const QString longName = repeated('n', 511 - int(qstrlen("1#,,")) + 1);
    QTest::newRow("version list one byte too long")
            << QStringList{u"--stable"_s, u"1"_s, u"--stable-name"_s, longName} << QByteArray() << 1
            << QStringList{u"the version list takes 512 bytes; updaters read at most 511"_s};
    QTest::newRow("news too long with character references")
            << QStringList{u"--stable"_s, u"1"_s, u"--news"_s, repeated('x', 4095) + u"€"_s}
            << QByteArray() << 1
            << QStringList{u"the news takes 4102 bytes; updaters read at most 4095"_s};
    QTest::newRow("several problems at once")
            << QStringList{u"--stable"_s, u"12a"_s, u"--beta-name"_s,  u"Beta, new"_s,
                           u"--alpha"_s,  u"0"_s,   u"--alpha-name"_s, u"Ålpha ☃"_s}
            << QByteArray() << 1
            << QStringList{u"stable version \"12a\" is not a number from 1 to 2147483647"_s,
                           u"beta version name is given without a beta version"_s,
                           u"beta version name must not contain \",\""_s,
                           u"alpha version \"0\" is not a number from 1 to 2147483647"_s,
                           u"alpha version name has characters outside Latin-1, which updaters "
                           u"cannot show"_s};
    QTest::newRow("no version") << QStringList{u"--news"_s, u"hello"_s} << QByteArray() << 1
                                << QStringList{u"no client version is given for any channel"_s};
    QTest::newRow("banner not on the web")
            << QStringList{u"--stable"_s, u"1"_s, u"--banner-image"_s, u"ftp://h/b.png"_s}
            << QByteArray() << 1
            << QStringList{u"the banner image address \"ftp://h/b.png\" is not an http or https "
                           u"URL"_s};
    QTest::newRow("banner with comma")
            << QStringList{u"--stable"_s, u"1"_s, u"--banner-image"_s, u"http://h/a,b.png"_s}
            << QByteArray() << 1 << QStringList{u"the banner addresses must not contain \",\""_s};
    QTest::newRow("click without image")
            << QStringList{u"--stable"_s, u"1"_s, u"--banner-click"_s, u"http://h/"_s}
            << QByteArray() << 1
            << QStringList{u"the banner click address needs a banner image address"_s};
    QTest::newRow("same ports")
            << QStringList{u"--stable"_s,      u"1"_s,   u"--version-port"_s, u"4000"_s,
                           u"--banner-port"_s, u"4000"_s}
            << QByteArray() << 1
            << QStringList{u"the version service and the banner service need different ports"_s};
    QTest::newRow("bad options") << QStringList{u"--stable"_s,       u"1"_s,
                                                u"--version-port"_s, u"70000"_s,
                                                u"--address"_s,      u"localhost"_s,
                                                u"--rate-limit"_s,   u"-1"_s}
                                 << QByteArray() << 1
                                 << QStringList{u"--address: \"localhost\" is not valid"_s,
                                                u"--version-port: \"70000\" is not valid"_s,
                                                u"--rate-limit: \"-1\" is not valid"_s};
    QTest::newRow("bad settings")
            << QStringList()
            << QByteArray("[server]\nbannerPort=x\n[stable]\nversion=1\n"
                          "[news]\ntext=unquoted, with a comma\n")
            << 1
            << QStringList{u"server/bannerPort: \"x\" is not valid"_s,
                           u"setting news/text: put a value with a comma in double quotes"_s};
    QTest::newRow("news twice") << QStringList{u"--stable"_s, u"1"_s,           u"--news"_s,
                                               u"a"_s,        u"--news-file"_s, u"news.html"_s}
                                << QByteArray() << 1
                                << QStringList{u"give the news as text or as a file, not both"_s};
    QTest::newRow("news file missing")
            << QStringList{u"--stable"_s, u"1"_s, u"--news-file"_s, u"/nonexistent/news.html"_s}
            << QByteArray() << 1
            << QStringList{u"cannot read the news file /nonexistent/news.html: No such file or "
                           u"directory"_s};
    QTest::newRow("configuration file missing")
            << QStringList{u"--config"_s, u"/nonexistent/updateserver.ini"_s} << QByteArray() << 1
            << QStringList{u"configuration file /nonexistent/updateserver.ini not found"_s};
    QTest::newRow("unknown option")
            << QStringList{u"--stable"_s, u"1"_s, u"--loud"_s} << QByteArray() << 2
            << QStringList{u"Unknown option 'loud'."_s,
                           u"Try \"sonavelle-updateserver --help\"."_s};
}

void TestUpdateServer::refusesConfigurations()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, configFile);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expectedErrors);

    if (!configFile.isEmpty())
        arguments << u"--config"_s << writeConfig(configFile);
    const Finished result = runToEnd(arguments);
    QStringList expected;
    for (const QString& line : std::as_const(expectedErrors))
        expected.append(line.startsWith(u"Try "_s) ? line : u"sonavelle-updateserver: "_s + line);
    QCOMPARE(result.err, expected);
    QCOMPARE(result.exitCode, exitCode);
}

void TestUpdateServer::limitsRepliesPerAddress()
{
    ServerProcess server;
    QVERIFY(server.start({u"--stable"_s, u"1"_s, u"--rate-limit"_s, u"2"_s}));
    Client client;
    QVERIFY(client.isBound());
    client.send(QByteArray("3\0", 2), server.versionPort);
    client.send(QByteArray("*\0", 2), server.versionPort);
    for (int i = 0; i < 3; ++i)
        client.send(QByteArray("3\0", 2), server.versionPort);
    // Only the first refusal is logged: the next line is about another address.
    Client other(QHostAddress(u"127.0.0.2"_s));
    QVERIFY(other.isBound());
    other.send(QByteArray("*\0", 2), server.versionPort);
    QVERIFY(server.waitForLines(6));
    QCOMPARE(server.requestLog(client.port()),
             (QStringList{u"peer version list request: replied 3 bytes"_s,
                          u"peer news request: replied 0 bytes"_s,
                          u"peer version list request: not answered, rate limit reached; further "
                          u"requests from this address are not logged until its minute is over"_s,
                          u"127.0.0.2:%1 news request: replied 0 bytes"_s.arg(other.port())}));
    QCOMPARE(client.receive(), QByteArray("1,,"));
    QCOMPARE(client.receive(), QByteArray());
    // Loopback delivers before the server logs, so a third reply would be here by now.
    QVERIFY(!client.hasPending());
}

// Each forged address is new: the table keeps the newest and forgets the oldest, and the log
// counts what it leaves out.
void TestUpdateServer::floodsFromForgedAddressesStayBounded()
{
    using namespace std::chrono_literals;
    using Verdict = UpdateServerRateLimiter::Verdict;
    UpdateServerRateLimiter limiter(1, 1min, 3);
    const auto forged = [](quint32 i) { return QHostAddress(0x0a000000 + i); };
    for (quint32 i = 0; i < 100000; ++i)
        QVERIFY(limiter.allow(forged(i), 0ms) == Verdict::Allowed);
    QCOMPARE(limiter.addressCount(), 3);
    QVERIFY(limiter.allow(forged(99999), 1ms) == Verdict::Refused);
    QVERIFY(limiter.allow(forged(99999), 2ms) == Verdict::RefusedAgain);
    QVERIFY(limiter.allow(forged(0), 3ms) == Verdict::Allowed);
    // Over after a minute: only the window of forged(0) is left besides the new one.
    QVERIFY(limiter.allow(forged(99999), 60000ms) == Verdict::Allowed);
    QCOMPARE(limiter.addressCount(), 2);

    UpdateServerLogBudget log(2, 1s);
    for (const auto at : {0ms, 1ms, 2ms, 3ms, 4ms})
        static_cast<void>(log.allow(at));
    QCOMPARE(log.takeLeftOut(999ms), 0);
    QCOMPARE(log.takeLeftOut(1000ms), 3);
    QCOMPARE(log.takeLeftOut(1001ms), 0);
    QVERIFY(log.allow(1002ms));
}

// A second server on the same port would silently take part of the requests.
void TestUpdateServer::refusesAPortInUse()
{
    ServerProcess first;
    QVERIFY(first.start({u"--stable"_s, u"1"_s}));
    const QString port = QString::number(first.versionPort);
    const Finished second = runToEnd({u"--stable"_s, u"2"_s, u"--version-port"_s, port});
    QCOMPARE(second.err,
             QStringList{u"sonavelle-updateserver: version service cannot listen on 127.0.0.1 "
                         u"port %1: The bound address is already in use"_s.arg(port)});
    QCOMPARE(second.exitCode, 1);
}

void TestUpdateServer::warnsAboutUnknownSettings()
{
    const QString config = writeConfig("[stable]\nversion=3\nnmae=Three\n[Beta]\nversion=4\n");
    ServerProcess server;
    QVERIFY(server.start({u"--config"_s, config}));
    const QString expected =
            u"sonavelle-updateserver: warning: %1: unknown setting Beta/version\n"
            u"sonavelle-updateserver: warning: %1: unknown setting stable/nmae\n"_s.arg(config);
    QString errors;
    const auto collect = [&] {
        errors += QString::fromLocal8Bit(server.process.readAllStandardError());
        return errors;
    };
    QTRY_COMPARE(collect(), expected);
}

void TestUpdateServer::exampleConfigurationServes()
{
    ServerProcess server;
    QVERIFY(server.start({u"--config"_s, QString::fromLocal8Bit(EXAMPLE_CONFIG)}));
    UpdateChecker checker(u"127.0.0.1"_s, server.versionPort, std::chrono::milliseconds(waitMs));
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Beta),
             (UpdateChecker::VersionEntry{u"2"_s, u"Sonavelle 2.0 beta"_s}));
    Client client;
    QVERIFY(client.isBound());
    client.send(QByteArray("\x01\x01", 2), server.bannerPort);
    QCOMPARE(client.receive(),
             QByteArray("http://127.0.0.1:8080/banner.png,https://www.example.com/"));
    QCOMPARE(server.process.readAllStandardError(), QByteArray());
}

void TestUpdateServer::stopsWhenTerminated()
{
    ServerProcess server;
    QVERIFY(server.start({u"--stable"_s, u"1"_s}));
    QVERIFY(server.terminate());
    QCOMPARE(server.process.exitCode(), 0);
    QCOMPARE(QString::fromLocal8Bit(server.process.readAllStandardOutput()), u"stopped\n"_s);
    QCOMPARE(server.process.readAllStandardError(), QByteArray());
}

QTEST_GUILESS_MAIN(TestUpdateServer)
#include "tst_updateserver.moc"
