#include "singleinstancechecker.h"
#include "treesnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

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

// Where the sockets lie without a runtime directory: a directory of the user's own.
QString privateDirectory(const QString& temp)
{
    return temp + u"/sonavelle-"_s + QString::number(::geteuid());
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

// Sets an environment variable, or removes it for a null value, while it exists.
class EnvironmentOverride
{
public:
    EnvironmentOverride(const char* name, const QByteArray& value)
        : name(name)
        , previous(qgetenv(name))
        , wasSet(qEnvironmentVariableIsSet(name))
    {
        set(value);
    }
    ~EnvironmentOverride() { set(wasSet ? previous : QByteArray()); }
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

private:
    void set(const QByteArray& value) const
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }

    const char* name;
    QByteArray previous;
    bool wasSet;
};

bool makeDirectory(const QString& path, mode_t mode)
{
    const QByteArray encoded = QFile::encodeName(path);
    return ::mkdir(encoded.constData(), 0700) == 0 && ::chmod(encoded.constData(), mode) == 0;
}

mode_t modeOf(const QString& path)
{
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode : 0;
}

// A real "update" program in its own application root, started for a user (a home directory).
class Updater
{
public:
    Updater(const QString& program, const QString& home, const QString& temp)
        : socketPath(privateDirectory(temp) + u'/' +
                     SingleInstanceChecker::localServerName(program, home))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, home);
        environment.insert(u"TMPDIR"_s, temp);
        environment.remove(u"XDG_RUNTIME_DIR"_s);
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
    void socketLiesInAPrivateDirectory_data();
    void socketLiesInAPrivateDirectory();
    void plantedDirectoryIsRefused_data();
    void plantedDirectoryIsRefused();
    void socketPlantedInSharedTempHasNoEffect();
    void hostileClientsLeaveNoTrace_data();
    void hostileClientsLeaveNoTrace();
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
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(QDir::homePath(), home);
    QCOMPARE(QDir::tempPath(), temp);
    // The reference checksum gives the standard check value of CRC-16/X-25.
    QCOMPARE(x25Checksum("123456789"_ba), quint16(0x906e));
}

QString TestSingleInstanceChecker::socketPath(const QString& name) const
{
    return privateDirectory(temp) + u'/' + name;
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

    QVERIFY(sendRaw(SingleInstanceChecker::getLocalServerPath(), bytes));
    QVERIFY(spy.wait());
    QCOMPARE(spy, (QList<QList<QVariant>>{{text}}));
}

void TestSingleInstanceChecker::listenerHearsOneMessagePerConnection()
{
    SingleInstanceChecker listener;
    QVERIFY(listener.isListening());
    QSignalSpy spy(&listener, &SingleInstanceChecker::otherInstanceActivate);
    // A connection without data is ignored.
    QVERIFY(sendRaw(SingleInstanceChecker::getLocalServerPath(), {}));
    QLocalSocket chatty;
    chatty.connectToServer(SingleInstanceChecker::getLocalServerPath());
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

void TestSingleInstanceChecker::socketLiesInAPrivateDirectory_data()
{
    QTest::addColumn<QString>("runtimeDirectory");
    QTest::addColumn<bool>("used");

    QTest::newRow("no runtime directory") << QString() << false;
    QTest::newRow("runtime directory") << u"private"_s << true;
    QTest::newRow("runtime directory missing") << u"missing"_s << false;
    QTest::newRow("runtime directory open to others") << u"open"_s << false;
}

void TestSingleInstanceChecker::socketLiesInAPrivateDirectory()
{
    QFETCH(QString, runtimeDirectory);
    QFETCH(bool, used);
    QTemporaryDir systemTemp;
    QTemporaryDir runtimeRoot;
    const EnvironmentOverride tmpDir("TMPDIR", QFile::encodeName(systemTemp.path()));
    QString runtime;
    if (!runtimeDirectory.isEmpty()) {
        runtime = runtimeRoot.filePath(runtimeDirectory);
        if (runtimeDirectory != u"missing")
            QVERIFY(makeDirectory(runtime, runtimeDirectory == u"open" ? 0755 : 0700));
    }
    const EnvironmentOverride runtimeDir("XDG_RUNTIME_DIR", QFile::encodeName(runtime));

    const QString directory = used ? runtime : privateDirectory(systemTemp.path());
    const QString path = directory + u'/' + SingleInstanceChecker::getLocalServerName();
    QCOMPARE(SingleInstanceChecker::getLocalServerPath(), path);
    SingleInstanceChecker listener;
    QVERIFY(listener.isListening());
    QVERIFY(S_ISSOCK(modeOf(path)));
    QCOMPARE(modeOf(directory) & 07777, mode_t(0700));
    QSignalSpy spy(&listener, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(u"#"_s));
    QVERIFY(spy.wait());
}

void TestSingleInstanceChecker::plantedDirectoryIsRefused_data()
{
    QTest::addColumn<QString>("planted");

    QTest::newRow("directory open to all") << u"open"_s;
    QTest::newRow("directory open to the group") << u"group"_s;
    QTest::newRow("link to a private directory") << u"link"_s;
    QTest::newRow("file") << u"file"_s;
    QTest::newRow("directory of another user") << u"other owner"_s;
}

// Somebody made the private directory's name in the shared temporary directory before the user
// did: neither side of the guard uses it or changes it.
void TestSingleInstanceChecker::plantedDirectoryIsRefused()
{
    QFETCH(QString, planted);
    QTemporaryDir sharedTemp;
    const EnvironmentOverride tmpDir("TMPDIR", QFile::encodeName(sharedTemp.path()));
    const QString place = privateDirectory(sharedTemp.path());
    const QString target = sharedTemp.filePath(u"target"_s);
    QVERIFY(makeDirectory(target, 0700));
    if (planted == u"open") {
        QVERIFY(makeDirectory(place, 0777));
    } else if (planted == u"group") {
        QVERIFY(makeDirectory(place, 0750));
    } else if (planted == u"link") {
        QVERIFY(QFile::link(target, place));
    } else if (planted == u"file") {
        QFile file(place);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else {
        QVERIFY(makeDirectory(place, 0700));
        if (::chown(QFile::encodeName(place).constData(), ::geteuid() + 4242, gid_t(-1)) != 0)
            QSKIP("only root can give a directory to another user");
    }
    const TreeSnapshot before = TreeSnapshot::take(sharedTemp.path());

    QCOMPARE(SingleInstanceChecker::getLocalServerPath(), QString());
    SingleInstanceChecker listener;
    QVERIFY(!listener.isListening());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(u"#"_s));
    QVERIFY(clock.elapsed() < SingleInstanceChecker::newcomerWait.count());
    COMPARE_TREES(TreeSnapshot::take(sharedTemp.path()), before);
}

void TestSingleInstanceChecker::socketPlantedInSharedTempHasNoEffect()
{
    // Where the name alone would put the socket: the shared temporary directory.
    QLocalServer planted;
    QVERIFY(planted.listen(QDir::tempPath() + u'/' + SingleInstanceChecker::getLocalServerName()));
    QSignalSpy knocked(&planted, &QLocalServer::newConnection);

    QVERIFY(!SingleInstanceChecker::checkExistingInstance(u"#"_s));
    SingleInstanceChecker listener;
    QVERIFY(listener.isListening());
    QSignalSpy spy(&listener, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(u"#"_s));
    QVERIFY(spy.wait());
    QCOMPARE(knocked.size(), 0);
}

void TestSingleInstanceChecker::hostileClientsLeaveNoTrace_data()
{
    QTest::addColumn<int>("silentClients");
    QTest::addColumn<qint64>("floodBytes");

    QTest::newRow("megabytes") << 0 << qint64(8) * 1024 * 1024;
    QTest::newRow("connects and sends nothing") << 1 << qint64(0);
    QTest::newRow("many at once") << 20 << qint64(0);
}

// Clients of the same user that misbehave: the listener takes no more than a message's worth from
// anybody, holds no connection after it, and still hears the next newcomer.
void TestSingleInstanceChecker::hostileClientsLeaveNoTrace()
{
    QFETCH(int, silentClients);
    QFETCH(qint64, floodBytes);
    SingleInstanceChecker listener;
    QVERIFY(listener.isListening());
    QSignalSpy spy(&listener, &SingleInstanceChecker::otherInstanceActivate);
    const QString path = SingleInstanceChecker::getLocalServerPath();

    std::vector<std::unique_ptr<QLocalSocket>> clients;
    for (int i = 0; i < silentClients; ++i) {
        clients.push_back(std::make_unique<QLocalSocket>());
        clients.back()->connectToServer(path);
        QVERIFY(clients.back()->waitForConnected());
    }
    if (floodBytes > 0) {
        QLocalSocket flooder;
        flooder.connectToServer(path);
        QVERIFY(flooder.waitForConnected());
        flooder.write(QByteArray(floodBytes, 'x'));
        QVERIFY(spy.wait());
        // Hung up on once the listener had what it reads.
        QTRY_COMPARE(flooder.state(), QLocalSocket::UnconnectedState);
    }

    QVERIFY(SingleInstanceChecker::checkExistingInstance(u"#"_s));
    QTRY_VERIFY(!spy.isEmpty() && spy.last().at(0).toString() == u"#");
    for (const QList<QVariant>& arguments : std::as_const(spy))
        QVERIFY(arguments.at(0).toString().size() <= SingleInstanceChecker::maxMessageSize);
    QTRY_VERIFY(listener.findChildren<QLocalSocket*>().isEmpty());
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
    QTest::addColumn<int>("exitCode"); // -1: runs on

    QTest::newRow("same installation, same user") << u"a"_s << u"home"_s << 0;
    QTest::newRow("other installation") << u"b"_s << u"home"_s << -1;
    QTest::newRow("other user") << u"a"_s << u"home2"_s << 3;
}

void TestSingleInstanceChecker::secondUpdater()
{
    QFETCH(QString, secondRoot);
    QFETCH(QString, secondHome);
    QFETCH(int, exitCode);
    const QString firstProgram = installUpdater(u"a"_s);
    const QString secondProgram = installUpdater(secondRoot);
    QVERIFY(!firstProgram.isEmpty() && !secondProgram.isEmpty());
    const QString otherHome = scratch.filePath(secondHome);
    QVERIFY(QDir().mkpath(otherHome));

    Updater first(firstProgram, home, temp);
    QTRY_VERIFY_WITH_TIMEOUT(first.listeningOrGone(), 30000);
    QVERIFY(first.running());

    Updater second(secondProgram, otherHome, temp);
    if (exitCode >= 0) {
        QVERIFY(second.process.waitForFinished(10000));
        QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process.exitCode(), exitCode);
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
