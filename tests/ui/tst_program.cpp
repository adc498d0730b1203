#include "httpserver.h"
#include "singleinstancechecker.h"
#include "testrelease.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString clientType = u"client_test"_s;
constexpr int version = 7;

} // namespace

// The real program, copied into a fresh application root next to "mirrors.ini" and the client's
// start script, started as the client starts it.
class ProgramFixture
{
public:
    ProgramFixture()
    {
        server.setServedDirectory(mirrorRoot.path());
        release.addFile(u"bin"_s, u"client"_s, "client program"_ba);
        prepare(process);
    }
    ~ProgramFixture()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }

    [[nodiscard]] bool install()
    {
        const QByteArray mirrorsIni = "[mirrors]\nsize=1\n1\\mirror=m1\n\n[m1]\nurl=" +
                                      server.urlText(u"/m1"_s).toUtf8() + '\n';
        const QString script = root.filePath(u"vq3client_runscript.sh"_s);
        return QFile::copy(QString::fromLocal8Bit(UPDATE_PROGRAM), program()) &&
               release.publish(mirrorRoot.filePath(u"m1"_s)) &&
               TestRelease::writeFile(root.filePath(u"mirrors.ini"_s), mirrorsIni) &&
               TestRelease::writeFile(script, "#!/bin/sh\necho started > \"$(dirname \"$0\")/"
                                              "client_started\"\n") &&
               QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner);
    }
    [[nodiscard]] QString program() const { return root.filePath(u"update"_s); }
    // The program's system temporary directory, which also holds its single-instance socket, is
    // the test's own.
    void prepare(QProcess& updater) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s, systemTemp.path());
        environment.remove(u"XDG_RUNTIME_DIR"_s);
        updater.setProcessEnvironment(environment);
        updater.setWorkingDirectory(root.path());
    }
    // Runs the event loop, so that the test's mirror can answer, until the program ended.
    [[nodiscard]] static bool waitForEnd(QProcess& updater, int milliseconds)
    {
        QSignalSpy finished(&updater, &QProcess::finished);
        return updater.state() == QProcess::NotRunning || finished.wait(milliseconds);
    }
    [[nodiscard]] bool clientStarted() const
    {
        return QFile::exists(root.filePath(u"client_started"_s));
    }
    // Someone listens on the program's single-instance name.
    [[nodiscard]] bool listening() const
    {
        QLocalSocket socket;
        socket.connectToServer(systemTemp.filePath(
                u"sonavelle-%1/"_s.arg(::geteuid()) +
                SingleInstanceChecker::localServerName(program(), QDir::homePath())));
        return socket.waitForConnected(100);
    }

    QTemporaryDir root;
    QTemporaryDir systemTemp;
    QTemporaryDir mirrorRoot;
    TestHttpServer server;
    TestRelease release{version, clientType};
    QProcess process;
};

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unattendedUpdateStartsClientAndEnds();
    void secondStartEndsAtOnce();
};

void TestProgram::initTestCase()
{
    if (!DEVELOPMENT_KEY_EMBEDDED)
        QSKIP("this build embeds another public key than the development key");
}

void TestProgram::unattendedUpdateStartsClientAndEnds()
{
    ProgramFixture f;
    QVERIFY(f.install());
    QElapsedTimer clock;
    clock.start();
    f.process.start(f.program(), {u"--nouser"_s, clientType, QString::number(version), u"#"_s,
                                  u"<b>news</b>"_s});
    QVERIFY(f.process.waitForStarted());
    QVERIFY2(ProgramFixture::waitForEnd(f.process, 60000), "the updater did not end by itself");

    QCOMPARE(f.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(f.process.exitCode(), 0);
    QTRY_VERIFY(f.clientStarted());
    // Two seconds before the update starts, one after it finished before the client starts.
    QVERIFY2(clock.elapsed() >= 2800, qPrintable(QString::number(clock.elapsed())));
    const QStringList paths = f.server.requestedPaths();
    QVERIFY2(paths.contains(u"/m1/7/client_test.ini"_s), qPrintable(paths.join(u' ')));
}

void TestProgram::secondStartEndsAtOnce()
{
    ProgramFixture f;
    QVERIFY(f.install());
    f.process.start(f.program(), {clientType, QString::number(version)});
    QVERIFY(f.process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(f.listening(), 20000);

    QProcess second;
    f.prepare(second);
    second.start(f.program(), {clientType, QString::number(version)});
    QVERIFY(ProgramFixture::waitForEnd(second, 20000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    // The first one goes on, untouched.
    QCOMPARE(f.process.state(), QProcess::Running);
    QVERIFY(f.server.requests().isEmpty());
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
