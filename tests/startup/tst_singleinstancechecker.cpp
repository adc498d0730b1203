#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The 16-bit CRC of ISO 3309 (X.25), computed bit by bit, as a reference.
quint16 x25Checksum(const QByteArray& bytes)
{
    quint16 crc = 0xffff;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return quint16(~crc);
}

QString referenceName(const QString& executablePath, const QString& homePath)
{
    QString identity = executablePath.toLower() + homePath;
    identity.remove(u'/').remove(u':');
    return u"VQ3ClientUpdate"_s + QString::asprintf("%x", x25Checksum(identity.toUtf8()));
}

// What a crashed listener leaves behind: a socket file that nobody listens on.
bool leaveStaleSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    if (size_t(encoded.size()) >= sizeof address.sun_path) {
        ::close(fd);
        return false;
    }
    std::copy(encoded.begin(), encoded.end(), address.sun_path);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

bool sendRaw(const QString& name, const QByteArray& bytes)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(5000))
        return false;
    if (bytes.isEmpty())
        return true;
    socket.write(bytes);
    return socket.waitForBytesWritten(5000);
}

// A real "update" program in its own application root, started for a user (a home directory).
class Updater
{
public:
    Updater(const QString& program, const QString& home, const QString& temp)
        : socketPath(temp + u'/' + SingleInstanceChecker::localServerName(program, home))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, home);
        environment.insert(u"TMPDIR"_s, temp);
        process.setProcessEnvironment(environment);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        // Type and version given: no version query, straight to the window.
        process.start(program, {u"client_linux_amd64"_s, u"5"_s});
    }
    ~Updater()
    {
        if (running()) {
            process.kill();
            process.waitForFinished();
        }
    }
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    [[nodiscard]] bool running() const { return process.state() != QProcess::NotRunning; }
    // The updater listens once its window exists.
    [[nodiscard]] bool listening() const
    {
        QLocalSocket probe;
        probe.connectToServer(socketPath);
        return probe.waitForConnected(1000);
    }
    [[nodiscard]] bool listeningOrGone() const { return !running() || listening(); }

    const QString socketPath;
    QProcess process;
};

} // namespace

class TestSingleInstanceChecker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void nameIsTheChecksumOfPathAndHome_data();
    void nameIsTheChecksumOfPathAndHome();
    void namesAgreeOrDiffer_data();
    void namesAgreeOrDiffer();
    void listenerPassesTheTextOn_data();
    void listenerPassesTheTextOn();
    void listenerHearsOneMessagePerConnection();
    void staleSocketIsRemoved();
    void secondUpdater_data();
    void secondUpdater();
    void killedUpdaterDoesNotBlockTheNext();

private:
    [[nodiscard]] QString socketPath(const QString& name) const;
    [[nodiscard]] QString installUpdater(const QString& directory);

    QTemporaryDir scratch;
    QString home;
    QString temp;
};

void TestSingleInstanceChecker::initTestCase()
{
    QVERIFY(scratch.isValid());
    // The names and their socket files belong to this run alone.
    home = scratch.filePath(u"home"_s);
    temp = scratch.filePath(u"tmp"_s);
    QVERIFY(QDir().mkpath(home));
    QVERIFY(QDir().mkpath(temp));
    qputenv("HOME", QFile::encodeName(home));
    qputenv("TMPDIR", QFile::encodeName(temp));
    QCOMPARE(QDir::homePath(), home);
    QCOMPARE(QDir::tempPath(), temp);
    // The reference checksum gives the standard check value of CRC-16/X-25.
    QCOMPARE(x25Checksum("123456789"_ba), quint16(0x906e));
}

QString TestSingleInstanceChecker::socketPath(const QString& name) const
{
    return temp + u'/' + name;
}

void TestSingleInstanceChecker::nameIsTheChecksumOfPathAndHome_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("homePath");

    QTest::newRow("this program") << QCoreApplication::applicationFilePath() << home;
    QTest::newRow("mixed case, colons") << u"/Opt/Sonavelle:Client/UPDATE"_s << u"/home/An:na"_s;
    QTest::newRow("non-ASCII") << u"/opt/Sonavelle \u00dcn\u00efc\u00f8d\u00e9/update"_s
                               << u"/home/\u00c5sa"_s;
    // A checksum below 0x1000 is written with fewer than four digits.
    for (int n = 0;; ++n) {
        const QString executable = u"/opt/sonavelle%1/update"_s.arg(n);
        if (referenceName(executable, u"/root"_s).size() < u"VQ3ClientUpdate"_s.size() + 4) {
            QTest::newRow("short checksum") << executable << u"/root"_s;
            break;
        }
    }
}

void TestSingleInstanceChecker::nameIsTheChecksumOfPathAndHome()
{
    QFETCH(QString, executable);
    QFETCH(QString, homePath);
    QCOMPARE(SingleInstanceChecker::localServerName(executable, homePath),
             referenceName(executable, homePath));
    if (executable == QCoreApplication::applicationFilePath())
        QCOMPARE(SingleInstanceChecker::getLocalServerName(), referenceName(executable, home));
}

void TestSingleInstanceChecker::namesAgreeOrDiffer_data()
{
    QTest::addColumn<QString>("executable1");
    QTest::addColumn<QString>("home1");
    QTest::addColumn<QString>("executable2");
    QTest::addColumn<QString>("home2");
    QTest::addColumn<bool>("same");

    QTest::newRow("same updater, same user") << u"/opt/s/update"_s << u"/home/anna"_s
                                             << u"/opt/s/update"_s << u"/home/anna"_s << true;
    QTest::newRow("executable path in other case")
            << u"/opt/Sonavelle/update"_s << u"/home/anna"_s << u"/opt/sonavelle/UPDATE"_s
            << u"/home/anna"_s << true;
    QTest::newRow("home in other case") << u"/opt/s/update"_s << u"/home/Anna"_s
                                        << u"/opt/s/update"_s << u"/home/anna"_s << false;
    QTest::newRow("other installation") << u"/opt/a/update"_s << u"/home/anna"_s
                                        << u"/opt/b/update"_s << u"/home/anna"_s << false;
}

void TestSingleInstanceChecker::namesAgreeOrDiffer()
{
    QFETCH(QString, executable1);
    QFETCH(QString, home1);
    QFETCH(QString, executable2);
    QFETCH(QString, home2);
    QFETCH(bool, same);
    QCOMPARE(SingleInstanceChecker::localServerName(executable1, home1) ==
                     SingleInstanceChecker::localServerName(executable2, home2),
             same);
}

void TestSingleInstanceChecker::listenerPassesTheTextOn_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("come to the front") << "#"_ba << u"#"_s;
    QTest::newRow("other text") << "hello"_ba << u"hello"_s;
    QTest::newRow("up to the first zero byte") << QByteArray("ab\0cd", 5) << u"ab"_s;
    QTest::newRow("zero byte first") << QByteArray("\0#", 2) << QString();
    QTest::newRow("eight-bit bytes") << "\xe9\xff"_ba << u"\u00e9\u00ff"_s;
}

void TestSingleInstanceChecker::listenerPassesTheTextOn()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    SingleInstanceChecker listener;
    QSignalSpy spy(&listener, &SingleInstanceChecker::otherInstanceActivate);

    QVERIFY(sendRaw(SingleInstanceChecker::getLocalServerName(), bytes));
    QVERIFY(spy.wait());
    QCOMPARE(spy, (QList<QList<QVariant>>{{text}}));
}

void TestSingleInstanceChecker::listenerHearsOneMessagePerConnection()
{
    SingleInstanceChecker listener;
    QVERIFY(listener.isListening());
    QSignalSpy spy(&listener, &SingleInstanceChecker::otherInstanceActivate);
    // A connection without data is ignored.
    QVERIFY(sendRaw(SingleInstanceChecker::getLocalServerName(), {}));
    QLocalSocket chatty;
    chatty.connectToServer(SingleInstanceChecker::getLocalServerName());
    QVERIFY(chatty.waitForConnected());
    chatty.write("#");
    QVERIFY(chatty.waitForBytesWritten());
    QVERIFY(spy.wait());

    // More on the same connection is not read; the next newcomer is heard.
    chatty.write("more");
    chatty.flush();
    QVERIFY(SingleInstanceChecker::checkExistingInstance(u"#"_s));
    QVERIFY(spy.wait());
    QCOMPARE(spy, (QList<QList<QVariant>>{{u"#"_s}, {u"#"_s}}));
}

void TestSingleInstanceChecker::staleSocketIsRemoved()
{
    const QString name = SingleInstanceChecker::getLocalServerName();
    // Nobody there is known at once; the wait is for a slow instance only.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(u"#"_s));
    QVERIFY(clock.elapsed() < SingleInstanceChecker::newcomerWait.count());

    QVERIFY(leaveStaleSocket(socketPath(name)));
    {
        // The file left behind keeps any listener from its name.
        SingleInstanceChecker blocked;
        QVERIFY(!blocked.isListening());
    }

    QVERIFY(!SingleInstanceChecker::checkExistingInstance(u"#"_s));
    QVERIFY(!QFile::exists(socketPath(name)));
    SingleInstanceChecker listener;
    QVERIFY(listener.isListening());
    QSignalSpy spy(&listener, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(u"#"_s));
    QVERIFY(spy.wait());
}

QString TestSingleInstanceChecker::installUpdater(const QString& directory)
{
    const QString root = scratch.filePath(directory);
    const QString program = root + u"/update"_s;
    if (!QDir().mkpath(root) ||
        (!QFile::exists(program) && !QFile::copy(QString::fromLocal8Bit(UPDATE_PROGRAM), program)))
        return {};
    return program;
}

void TestSingleInstanceChecker::secondUpdater_data()
{
    QTest::addColumn<QString>("secondRoot");
    QTest::addColumn<QString>("secondHome");
    QTest::addColumn<bool>("endsAtOnce");

    QTest::newRow("same installation, same user") << u"a"_s << u"home"_s << true;
    QTest::newRow("other installation") << u"b"_s << u"home"_s << false;
    QTest::newRow("other user") << u"a"_s << u"home2"_s << false;
}

void TestSingleInstanceChecker::secondUpdater()
{
    QFETCH(QString, secondRoot);
    QFETCH(QString, secondHome);
    QFETCH(bool, endsAtOnce);
    const QString firstProgram = installUpdater(u"a"_s);
    const QString secondProgram = installUpdater(secondRoot);
    QVERIFY(!firstProgram.isEmpty() && !secondProgram.isEmpty());
    const QString otherHome = scratch.filePath(secondHome);
    QVERIFY(QDir().mkpath(otherHome));

    Updater first(firstProgram, home, temp);
    QTRY_VERIFY_WITH_TIMEOUT(first.listeningOrGone(), 30000);
    QVERIFY(first.running());

    Updater second(secondProgram, otherHome, temp);
    if (endsAtOnce) {
        QVERIFY(second.process.waitForFinished(10000));
        QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process.exitCode(), 0);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(second.listeningOrGone(), 30000);
        QVERIFY(second.running());
    }
    QVERIFY(first.running());
}

void TestSingleInstanceChecker::killedUpdaterDoesNotBlockTheNext()
{
    const QString program = installUpdater(u"a"_s);
    QVERIFY(!program.isEmpty());
    {
        Updater crashing(program, home, temp);
        QTRY_VERIFY_WITH_TIMEOUT(crashing.listeningOrGone(), 30000);
        QVERIFY(crashing.running());
        crashing.process.kill();
        QVERIFY(crashing.process.waitForFinished());
        QCOMPARE(crashing.process.exitStatus(), QProcess::CrashExit);
        QVERIFY2(QFile::exists(crashing.socketPath), "the killed updater left its socket behind");
        QVERIFY(!crashing.listening());
    }

    Updater next(program, home, temp);
    QTRY_VERIFY_WITH_TIMEOUT(next.listeningOrGone(), 30000);
    QVERIFY(next.running());
    Updater third(program, home, temp);
    QVERIFY(third.process.waitForFinished(10000));
    QCOMPARE(third.process.exitCode(), 0);
    QVERIFY(next.running());
}

QTEST_GUILESS_MAIN(TestSingleInstanceChecker)
#include "tst_singleinstancechecker.moc"
