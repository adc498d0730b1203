#include "dircreatetaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"
#include "replacetestsupport.h"
#include "signallog.h"
#include "treesnapshot.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestFastFileOperations : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    QString path(const QString& name) const { return dir->filePath(name); }
    QString expand(QString text) const { return text.replace(u"%root"_s, dir->path()); }
    QStringList expand(QStringList lines) const
    {
        return lines.replaceInStrings(u"%root"_s, dir->path());
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(QDir().mkpath(path(u"top"_s)));
        QVERIFY(writeFile(path(u"top/file"_s), "content"));
        QVERIFY(writeFile(path(u"top/full/inside"_s), "content"));
        QVERIFY(QFile::link(path(u"nowhere"_s), path(u"top/dangling"_s)));
    }

    void dirCreate_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("created");
        const QStringList done{u"dir progress 1"_s, u"dir finished"_s};
        QTest::newRow("three levels, outermost first")
                << u"%root/top/a/b/c"_s << done
                << QStringList{u"top/a"_s, u"top/a/b"_s, u"top/a/b/c"_s};
        QTest::newRow("exists") << u"%root/top"_s << done << QStringList();
        QTest::newRow("is a file")
                << u"%root/top/file"_s
                << QStringList{u"dir message Could not create dir '%root/top/file' because it "
                               "already exists and is not a dir"_s,
                               u"dir canceled ErrorCanceled"_s}
                << QStringList();
        QTest::newRow("file where a parent must be")
                << u"%root/top/file/a/b"_s
                << QStringList{u"dir message Could not create dir '%root/top/file' because it "
                               "already exists and is not a dir"_s,
                               u"dir canceled ErrorCanceled"_s}
                << QStringList();
        QTest::newRow("dangling link in the way")
                << u"%root/top/dangling"_s
                << QStringList{u"dir message unable to create dir %root/top/dangling"_s,
                               u"dir canceled ErrorCanceled"_s}
                << QStringList();
        // Nothing is created in the working directory: the top level has no parent to make it in.
        QTest::newRow("no parent")
                << u"sonavelle_missing_level/sub"_s
                << QStringList{u"dir message Could not create dir sonavelle_missing_level/sub"_s,
                               u"dir canceled ErrorCanceled"_s}
                << QStringList();
    }

    void dirCreate()
    {
        QFETCH(QString, target);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, created);
        const TreeSnapshot before = TreeSnapshot::take(dir->path());
        DirCreateTaskSpecification task(expand(target), nullptr, 1.0);
        SignalLog log;
        log.watchTask(&task, u"dir"_s);

        task.execute();

        QCOMPARE(log.take(), expand(expected));
        TreeSnapshot after = before;
        for (const QString& level : std::as_const(created))
            after.addDir(level, TreeSnapshot::newDirMode());
        COMPARE_TREES(TreeSnapshot::take(dir->path()), after);
    }

    void fileDelete_data()
    {
        QTest::addColumn<bool>("mustSucceed");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("deleted");
        QTest::addColumn<QStringList>("expected");
        const QStringList done{u"delete progress 1"_s, u"delete finished"_s};
        const QStringList failed{u"delete message Could not delete '%root/%name'"_s,
                                 u"delete canceled ErrorCanceled"_s};
        QTest::newRow("file") << true << u"top/file"_s << true << done;
        QTest::newRow("dangling link") << true << u"top/dangling"_s << true << done;
        QTest::newRow("missing, may fail") << false << u"top/missing"_s << false << done;
        QTest::newRow("missing, must succeed") << true << u"top/missing"_s << false << failed;
        QTest::newRow("directory, may fail") << false << u"top/full"_s << false << done;
        QTest::newRow("directory, must succeed") << true << u"top/full"_s << false << failed;
    }

    void fileDelete()
    {
        QFETCH(bool, mustSucceed);
        QFETCH(QString, name);
        QFETCH(bool, deleted);
        QFETCH(QStringList, expected);
        TreeSnapshot after = TreeSnapshot::take(dir->path());
        if (deleted)
            after.remove(name);
        FileDeleteTaskSpecification task(mustSucceed, path(name), nullptr, 1.0);
        SignalLog log;
        log.watchTask(&task, u"delete"_s);

        task.execute();

        QCOMPARE(log.events(), expand(expected).replaceInStrings(u"%name"_s, name));
        COMPARE_TREES(TreeSnapshot::take(dir->path()), after);
    }

    void fileRename_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("renamed");
        QTest::newRow("file") << u"top/file"_s << u"top/_old_file"_s << true;
        QTest::newRow("directory") << u"top/full"_s << u"top/_old_full"_s << true;
        QTest::newRow("onto a file") << u"top/full/inside"_s << u"top/file"_s << false;
        QTest::newRow("onto a directory") << u"top/file"_s << u"top/full"_s << false;
        // Nothing may be written through the link, and the link must stay.
        QTest::newRow("onto a dangling link") << u"top/file"_s << u"top/dangling"_s << false;
        QTest::newRow("missing") << u"top/missing"_s << u"top/_old_missing"_s << false;
    }

    void fileRename()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, renamed);
        TreeSnapshot after = TreeSnapshot::take(dir->path());
        if (renamed)
            after.rename(from, to);
        FileRenameTaskSpecification task(path(from), path(to), nullptr, 1.0);
        SignalLog log;
        log.watchTask(&task, u"rename"_s);

        task.execute();

        const QStringList expected =
                renamed ? QStringList{u"rename progress 1"_s, u"rename finished"_s}
                        : QStringList{u"rename message Could not rename '%1' to '%2'"_s.arg(
                                              path(from), path(to)),
                                      u"rename canceled ErrorCanceled"_s};
        QCOMPARE(log.events(), expected);
        COMPARE_TREES(TreeSnapshot::take(dir->path()), after);
    }

    void deleteList_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("gone");
        QTest::addColumn<QStringList>("expected");
        // The last step, of no weight, brings the deletions to the disk.
        QTest::newRow("empty") << QStringList() << QStringList()
                               << QStringList{u"list message Starting deleting files"_s,
                                              u"list progress 0"_s, u"list progress 0"_s,
                                              u"list progress 1"_s, u"list finished"_s};
        // Neither a missing file nor a directory stops the list.
        QTest::newRow("files") << QStringList{u"top/file"_s, u"top/missing"_s, u"top/full"_s,
                                              u"top/full/inside"_s}
                               << QStringList{u"top/file"_s, u"top/full/inside"_s}
                               << QStringList{u"list message Starting deleting files"_s,
                                              u"list progress 0"_s,
                                              u"list progress 0"_s,
                                              u"list progress 0"_s,
                                              u"list progress 0"_s,
                                              u"list progress 0"_s,
                                              u"list progress 0.25"_s,
                                              u"list progress 0.5"_s,
                                              u"list progress 0.75"_s,
                                              u"list progress 1"_s,
                                              u"list progress 1"_s,
                                              u"list progress 1"_s,
                                              u"list finished"_s};
    }

    void deleteList()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, gone);
        QFETCH(QStringList, expected);
        TreeSnapshot after = TreeSnapshot::take(dir->path());
        for (const QString& name : std::as_const(gone))
            after.remove(name);
        FileDeleteListTaskSpecification task(names, InstallationLayout(dir->path()), nullptr, 1.0);
        SignalLog log;
        log.watchTask(&task, u"list"_s);

        task.execute();
        QTRY_VERIFY(task.state() != TaskSpecification::Running);

        QCOMPARE(log.events(), expected);
        COMPARE_TREES(TreeSnapshot::take(dir->path()), after);
    }
};

QTEST_GUILESS_MAIN(TestFastFileOperations)
#include "tst_fastfileoperations.moc"
