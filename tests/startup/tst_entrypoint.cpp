#include "installationlayout.h"
#include "instancelock.h"
#include "replacejournal.h"
#include "singleinstancechecker.h"
#include "testfiles.h"
#include "treesnapshot.h"
#include "udpresponder.h"
#include "updateinidata.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// Runs the real "update" program copied into a fresh application root, as a user's machine would.
class TestEntryPoint : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endsWithCodeOneWithoutVersion_data();
    void endsWithCodeOneWithoutVersion();
    void removesSelfUpdateLeftoversFirst();
    void secondStartLeavesTheInstallationAsItWas();

private:
    QString updateProgram;
    QTemporaryDir systemTemp;
};

void TestEntryPoint::initTestCase()
{
    if (QString::fromLatin1(SONAVELLE_UPDATE_HOST) != u"127.0.0.1")
        QSKIP("the update server host of this build is not the loopback address");
    updateProgram = QString::fromLocal8Bit(UPDATE_PROGRAM);
    QVERIFY2(QFile::exists(updateProgram), qPrintable(updateProgram));
    // The programs started here, with their single-instance sockets, and this test agree on a
    // system temporary directory of the test's own.
    QVERIFY(systemTemp.isValid());
    qputenv("TMPDIR", QFile::encodeName(systemTemp.path()));
    qunsetenv("XDG_RUNTIME_DIR");
}

void TestEntryPoint::endsWithCodeOneWithoutVersion_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QByteArray>("versionList");

    // The update.ini next to the program decides the channel; the list has no entry for it.
    QTest::newRow("alpha channel, no alpha entry") << "[Channel]\nalpha=http://alpha.example/\n"_ba
                                                   << "5#Five,6#Six"_ba;
    QTest::newRow("beta channel, empty beta entry") << "[Channel]\nbeta=true\n"_ba
                                                    << "5,,7"_ba;
}

void TestEntryPoint::endsWithCodeOneWithoutVersion()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(QByteArray, versionList);

    QTemporaryDir root;
    const QString program = root.filePath(u"update"_s);
    QVERIFY(QFile::copy(updateProgram, program));
    QFile ini(root.filePath(u"update.ini"_s));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(updateIni);
    ini.close();

    UdpResponder server(17384);
    QVERIFY(server.isListening());
    server.setReplies({versionList, "news"_ba});

    QProcess process;
    process.setWorkingDirectory(root.path());
    process.start(program, {});
    QVERIFY(process.waitForStarted());
    QVERIFY2(process.waitForFinished(30000), "the updater did not end by itself");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(server.requests(), (QList<QByteArray>{QByteArray("3\0", 2), QByteArray("*\0", 2)}));
}

void TestEntryPoint::removesSelfUpdateLeftoversFirst()
{
    QTemporaryDir root;
    QVERIFY(QFile::copy(updateProgram, root.filePath(u"update"_s)));
    QVERIFY(QDir(root.path()).mkpath(u"imageformats"_s));
    QVERIFY(QDir(root.path()).mkpath(u"accessible"_s));
    const QStringList leftovers{u"_old_update"_s, u"_old_libQtCore.so.4"_s,
                                u"imageformats/_old_libqjpeg.so"_s,
                                u"accessible/_old_libqtaccessiblewidgets.so"_s};
    const QStringList kept{u"_old_client"_s, u"imageformats/_old_update.bak"_s,
                           u"accessible/_old_libqgif.so.1"_s};
    for (const QString& name : leftovers + kept) {
        QFile file(root.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QFile ini(root.filePath(u"update.ini"_s));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[Channel]\nalpha=http://alpha.example/\n");
    ini.close();
    // A self-update killed after the new library took its name and before the commit: undone
    // first, whatever the start goes on to do, and its backup is no leftover.
    const QString session = systemTemp.filePath(u"sonavelle_temp_1"_s);
    QVERIFY(QDir().mkpath(session));
    QVERIFY(writeFile(root.filePath(u"libQtCore.so.4"_s), "new core"));
    QVERIFY(writeFile(root.filePath(u"_old_libQtCore.so.4"_s), "old core"));
    const InstallationLayout installation(root.path());
    ReplaceJournal journal(installation, session);
    QVERIFY(journal.recordReplace(u"libQtCore.so.4"_s, u"libQtCore.so.4"_s) && journal.sync());
    UpdateIniData::modify(installation, 5, session, u"client_linux_amd64"_s);

    UdpResponder server(17384);
    QVERIFY(server.isListening());
    server.setReplies({"5#Five"_ba, "news"_ba});
    QProcess process;
    process.start(root.filePath(u"update"_s), {});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(readFile(root.filePath(u"libQtCore.so.4"_s)), "old core"_ba);

    for (const QString& name : leftovers)
        QVERIFY2(!QFile::exists(root.filePath(name)), qPrintable(name));
    for (const QString& name : kept)
        QVERIFY2(QFile::exists(root.filePath(name)), qPrintable(name));
}

// A running updater in the middle of its self-update: its backups lie beside it, and a second start
// must not take them for the leftovers of an earlier run.
void TestEntryPoint::secondStartLeavesTheInstallationAsItWas()
{
    QTemporaryDir root;
    const QString program = root.filePath(u"update"_s);
    QVERIFY(QFile::copy(updateProgram, program));
    for (const QString& name :
         {u"_old_update"_s, u"_old_libQtCore.so.4"_s, u"imageformats/_old_libqjpeg.so"_s,
          u"accessible/_old_libqtaccessiblewidgets.so"_s})
        QVERIFY(writeFile(root.filePath(name), "backup of " + name.toUtf8()));
    InstanceLock held(root.filePath(InstanceLock::fileName()));
    QCOMPARE(held.acquire(), InstanceLock::Result::Acquired);
    const TreeSnapshot before = TreeSnapshot::take(root.path());

    QLocalServer running;
    QVERIFY(running.listen(SingleInstanceChecker::localServerPath(
            SingleInstanceChecker::localServerName(program, QDir::homePath()))));
    QByteArray heard;
    connect(&running, &QLocalServer::newConnection, this, [&running, &heard] {
        QLocalSocket* connection = running.nextPendingConnection();
        connect(connection, &QLocalSocket::readyRead, connection,
                [connection, &heard] { heard += connection->readAll(); });
    });

    QProcess process;
    process.start(program, {u"client_linux_amd64"_s, u"5"_s});
    QSignalSpy finished(&process, &QProcess::finished);
    QVERIFY2(finished.wait(30000), "the second start did not end at once");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QTRY_COMPARE(heard, "#"_ba);
    COMPARE_TREES(TreeSnapshot::take(root.path()), before);
}

QTEST_GUILESS_MAIN(TestEntryPoint)
#include "tst_entrypoint.moc"
