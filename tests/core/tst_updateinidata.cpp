#include "installationlayout.h"
#include "rolloutbucket.h"
#include "updateinidata.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestUpdateIniData : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void get_data();
    void get();
    void getFillsOnlyTheGivenOutputs();
    void writingKeepsOtherGroups();
    void rolloutBucketIsDrawnOnce_data();
    void rolloutBucketIsDrawnOnce();

private:
    void writeUpdateIni(const QByteArray& text);
    [[nodiscard]] QByteArray readUpdateIni() const;

    std::unique_ptr<QTemporaryDir> root;
    InstallationLayout installation;
};

void TestUpdateIniData::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    installation = InstallationLayout(root->path());
    QVERIFY(QDir(root->path()).mkdir(u"sonavelle_temp_4"_s));
}

void TestUpdateIniData::cleanup()
{
    root.reset();
}

void TestUpdateIniData::writeUpdateIni(const QByteArray& text)
{
    QFile file(UpdateIniData::filename(installation));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

QByteArray TestUpdateIniData::readUpdateIni() const
{
    QFile file(UpdateIniData::filename(installation));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestUpdateIniData::get_data()
{
    QTest::addColumn<QByteArray>("record"); // "%DIR%" stands for an existing directory
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("expectedVersion");
    QTest::addColumn<QString>("expectedType");

    QTest::newRow("valid") << "version=12\ndir=%DIR%\ntype=client_linux_amd64\n"_ba << true << 12
                           << u"client_linux_amd64"_s;
    QTest::newRow("version not a number")
            << "version=twelve\ndir=%DIR%\ntype=t\n"_ba << false << 0 << QString();
    QTest::newRow("version missing") << "dir=%DIR%\ntype=t\n"_ba << false << 0 << QString();
    QTest::newRow("type empty") << "version=12\ndir=%DIR%\ntype=\n"_ba << false << 0 << QString();
    QTest::newRow("dir empty") << "version=12\ndir=\ntype=t\n"_ba << false << 0 << QString();
    QTest::newRow("dir deleted") << "version=12\ndir=%DIR%/gone\ntype=t\n"_ba << false << 0
                                 << QString();
    QTest::newRow("no record") << QByteArray() << false << 0 << QString();
}

void TestUpdateIniData::get()
{
    QFETCH(QByteArray, record);
    QFETCH(bool, valid);
    QFETCH(int, expectedVersion);
    QFETCH(QString, expectedType);

    const QString dir = root->filePath(u"sonavelle_temp_4"_s);
    if (!record.isEmpty())
        writeUpdateIni("[current]\n" + record.replace("%DIR%", dir.toUtf8()));

    int version = -1;
    QString type = u"untouched"_s;
    QString directory = u"untouched"_s;
    QCOMPARE(UpdateIniData::get(installation, &version, &type, &directory), valid);
    QCOMPARE(version, valid ? expectedVersion : -1);
    QCOMPARE(type, valid ? expectedType : u"untouched"_s);
    QCOMPARE(directory, valid ? dir : u"untouched"_s);
}

void TestUpdateIniData::getFillsOnlyTheGivenOutputs()
{
    const QString dir = root->filePath(u"sonavelle_temp_4"_s);
    UpdateIniData::modify(installation, 7, dir, u"client_x"_s);
    int version = 0;
    QString directory;
    QVERIFY(UpdateIniData::get(installation, &version, nullptr, &directory));
    QCOMPARE(version, 7);
    QCOMPARE(directory, dir);
    QVERIFY(UpdateIniData::get(installation));
}

void TestUpdateIniData::writingKeepsOtherGroups()
{
    writeUpdateIni("[Channel]\nbeta=true\n\n[update]\nstreams=3\nproxy=http://p:8080\n"_ba);
    const QString dir = root->filePath(u"sonavelle_temp_4"_s);

    UpdateIniData::modify(installation, 5, dir, u"client_linux_amd64"_s, u"/a/.update.journal"_s);
    UpdateIniData::modify(installation, 6, dir, u"client_linux_amd64"_s, u"/b/.update.journal"_s);
    const QByteArray written = readUpdateIni();
    QVERIFY(written.contains("[current]"));
    QVERIFY(written.contains("version=6"));
    QVERIFY(!written.contains("version=5"));
    QVERIFY(written.contains("journal=/b/.update.journal"));
    int version = 0;
    QVERIFY(UpdateIniData::get(installation, &version));
    QCOMPARE(version, 6);

    UpdateIniData::cleanup(installation);
    QVERIFY(!UpdateIniData::get(installation));
    const QByteArray cleaned = readUpdateIni();
    QVERIFY(!cleaned.contains("[current]"));
    QVERIFY(cleaned.contains("[Channel]\nbeta=true"));
    QVERIFY(cleaned.contains("streams=3"));
    QVERIFY(cleaned.contains("proxy=http://p:8080"));
}

void TestUpdateIniData::rolloutBucketIsDrawnOnce_data()
{
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<int>("bucket"); // -1: a new one is drawn
    QTest::newRow("first run") << QByteArray() << -1;
    QTest::newRow("lowest") << "[rollout]\nbucket=0\n"_ba << 0;
    QTest::newRow("highest") << "[rollout]\nbucket=9999\n"_ba << 9999;
    QTest::newRow("out of range") << "[rollout]\nbucket=10000\n"_ba << -1;
    QTest::newRow("not a number") << "[rollout]\nbucket=half\n"_ba << -1;
}

void TestUpdateIniData::rolloutBucketIsDrawnOnce()
{
    QFETCH(QByteArray, kept);
    QFETCH(int, bucket);
    writeUpdateIni("[update]\nstreams=3\n" + kept);
    bool written = false;
    const int first = RolloutBucket::read(installation, &written);
    QVERIFY(written);
    QVERIFY(first >= 0 && first < 10000);
    if (bucket >= 0)
        QCOMPARE(first, bucket);
    // Kept through restarts, beside the other settings.
    QCOMPARE(RolloutBucket::read(installation), first);
    QVERIFY(readUpdateIni().contains(QByteArray("bucket=" + QByteArray::number(first))));
    QVERIFY(readUpdateIni().contains("streams=3"));
}

QTEST_GUILESS_MAIN(TestUpdateIniData)
#include "tst_updateinidata.moc"
