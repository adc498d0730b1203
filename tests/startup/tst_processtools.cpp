#include "processtools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Writes what the started script saw into "started" beside it: its parent's process id, its
// argument count and its working directory, one per line. The file appears complete at once.
const QByteArray reportingScript = "#!/bin/sh\n"
                                   "here=$(dirname \"$0\")\n"
                                   "printf '%s\\n%s\\n%s\\n' \"$PPID\" \"$#\" \"$(pwd)\" "
                                   "> \"$here/started.part\"\n"
                                   "mv \"$here/started.part\" \"$here/started\"\n";

bool writeFile(const QString& path, const QByteArray& content, QFile::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.setPermissions(permissions);
}

const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

} // namespace

class TestProcessTools : public QObject
{
    Q_OBJECT

private slots:
    void startsTheClientScriptDetached();
    void unusableScriptIsSilent_data();
    void unusableScriptIsSilent();
};

void TestProcessTools::startsTheClientScriptDetached()
{
    QTemporaryDir scratch;
    // A root with a space: the path is one program name, not a command line to split.
    const QString root = scratch.filePath(u"Sonavelle Client"_s);
    QVERIFY(QDir().mkpath(root));
    const InstallationLayout installation(root);
    const QString script = root + u"/vq3client_runscript.sh"_s;
    QCOMPARE(ProcessTools::clientStartScriptPath(installation), script);
    QVERIFY(writeFile(script, reportingScript, executable));

    ProcessTools::startVq3Client(installation);
    const QString report = root + u"/started"_s;
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(report), 20000);

    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLocal8Bit(file.readAll()).split(u'\n');
    QCOMPARE(lines.size(), 4);
    // Not a child of the updater: it outlives it.
    QVERIFY(lines.at(0).toLongLong() != QCoreApplication::applicationPid());
    QCOMPARE(lines.at(1), u"0"_s);
    QCOMPARE(QDir(lines.at(2)).canonicalPath(), QDir::current().canonicalPath());
}

void TestProcessTools::unusableScriptIsSilent_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << u"missing"_s;
    QTest::newRow("not executable") << u"plain file"_s;
    QTest::newRow("directory in its place") << u"directory"_s;
}

void TestProcessTools::unusableScriptIsSilent()
{
    QFETCH(QString, kind);
    QTemporaryDir root;
    const InstallationLayout installation(root.path());
    const QString script = ProcessTools::clientStartScriptPath(installation);
    if (kind == u"plain file")
        QVERIFY(writeFile(script, reportingScript, QFile::ReadOwner | QFile::WriteOwner));
    else if (kind == u"directory")
        QVERIFY(QDir().mkpath(script));

    QTest::failOnWarning(QRegularExpression(u".*"_s));
    ProcessTools::startVq3Client(installation);
    // Whether the start failed is settled when the call returns; nothing ran.
    QVERIFY(!QFile::exists(root.filePath(u"started"_s)));
}

QTEST_GUILESS_MAIN(TestProcessTools)
#include "tst_processtools.moc"
