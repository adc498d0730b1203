// The file-system calls that fail: each says what and why, and leaves what was there.
#include "filesystem.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <functional>

using namespace Qt::StringLiterals;

using Call = std::function<Failure(const QString& file, const QString& directory)>;
Q_DECLARE_METATYPE(Call)

class TestFileSystem : public QObject
{
    Q_OBJECT

private slots:
    void failureSaysWhy_data();
    void failureSaysWhy();
};

void TestFileSystem::failureSaysWhy_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QString>("text"); // %1: a file, %2: a directory beside it
    QTest::addColumn<int>("reason");
    QTest::newRow("rename over a directory")
            << Call(&FileSystem::renameOver) << u"Could not rename %1 to %2: "_s << EISDIR;
    QTest::newRow("rename to a name that is taken")
            << Call(&FileSystem::renameToNew) << u"Could not rename %1 to %2: "_s << EEXIST;
    // The transfer then copies instead.
    QTest::newRow("link to a name that is taken")
            << Call(&FileSystem::link) << u"Could not give %1 the second name %2: "_s << EEXIST;
    QTest::newRow("delete a directory") << Call([](const QString&, const QString& directory) {
        return FileSystem::removeFile(directory);
    }) << u"Could not delete %2: "_s << EISDIR;
    QTest::newRow("sync the file system of a file")
            << Call([](const QString& file, const QString&) {
                   return FileSystem::syncFileSystems({file});
               })
            << u"Could not write the file system of %1 to the disk: "_s << ENOTDIR;
}

void TestFileSystem::failureSaysWhy()
{
    QFETCH(Call, call);
    QFETCH(QString, text);
    QFETCH(int, reason);
    QTemporaryDir dir;
    const QString file = dir.filePath(u"file"_s);
    const QString directory = dir.filePath(u"directory"_s);
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write("kept") == 4);
    out.close();
    QVERIFY(QDir().mkdir(directory));

    const Failure failure = call(file, directory);
    const int left = errno;

    QCOMPARE(failure.kind, Failure::Kind::Disk);
    QCOMPARE(failure.text,
             text.replace(u"%1"_s, file).replace(u"%2"_s, directory) + qt_error_string(reason));
    QCOMPARE(left, reason);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), "kept");
    QVERIFY(QFileInfo(directory).isDir());
}

QTEST_GUILESS_MAIN(TestFileSystem)
#include "tst_filesystem.moc"
