#include "dircreatetaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "replacejournal.h"
#include "replacetestsupport.h"
#include "signallog.h"
#include "treesnapshot.h"
#include "workpool.h"

#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {

QStringList startLines(const QStringList& fileNames)
{
    QStringList lines;
    for (const QString& name : fileNames)
        lines.append(u"list message add/replace "_s + name);
    return lines;
}

// Without the lines of the journal's repair, which say what it undid.
QStringList withoutRepair(const QStringList& events)
{
    QStringList lines = withoutProgress(events);
    lines.removeIf(
            [](const QString& line) { return line.contains(u"by an interrupted update"_s); });
    return lines;
}

QByteArray newVersion(const QString& name)
{
    return "new " + name.toUtf8() + ' ' + noise(20 * 1024, uint(qHash(name)));
}

// Shows which subtasks the stage made, in order, with their weights and directories, and how
// many of them were alive at once.
class InspectedList : public FileReplaceListTaskSpecification
{
public:
    using FileReplaceListTaskSpecification::FileReplaceListTaskSpecification;

    QStringList plan() const { return steps; }
    int mostAlive() const { return peak; }

protected:
    void connectSignals(TaskSpecification* t) override
    {
        QString step = QString::fromLatin1(t->metaObject()->className()) + u' ';
        if (const auto* dirTask = qobject_cast<const DirCreateTaskSpecification*>(t))
            step += dirTask->directory() + u' ';
        steps.append(step + SignalLog::number(t->parentProgressRange()));
        peak = qMax(peak, int(subTasks.size()));
        FileReplaceListTaskSpecification::connectSignals(t);
    }

private:
    QStringList steps;
    int peak = 0;
};

} // namespace

class TestFileReplaceListTaskSpecification : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    SessionLayout session;
    QString root;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList;
    SignalLog log;
    std::unique_ptr<InspectedList> stage;

    QString rooted(const QString& name) const { return root + u'/' + name; }
    InstallationLayout installation() const { return InstallationLayout(root); }
    QString downloaded(const QString& name) const { return session.filePath(name); }
    QStringList expand(QStringList lines) const
    {
        return lines.replaceInStrings(u"%root"_s, root)
                .replaceInStrings(u"%temp"_s, session.directory());
    }

    // Lists a download of the new version of name; packed ones come as name + ".gz".
    void add(const QString& name, bool packed = false)
    {
        if (!packed) {
            QVERIFY(writeFile(downloaded(name), newVersion(name)));
            replaceList.append({u"dl"_s, name, {}, 0, {}});
            return;
        }
        QVERIFY(writeGzip(downloaded(name + u".gz"_s), newVersion(name)));
        replaceList.append({u"dl"_s, name + u".gz"_s, md5Hex(newVersion(name)), 0, name});
    }

    // Installed: a.txt, b.txt, lib/c.so; the update also brings new/deep/d.txt and new/e.txt.
    void addUsualUpdate()
    {
        add(u"a.txt"_s);
        add(u"b.txt"_s);
        add(u"lib/c.so"_s, true);
        add(u"new/deep/d.txt"_s);
        add(u"new/e.txt"_s, true);
    }

    void start()
    {
        stage = std::make_unique<InspectedList>(replaceList, deleteList, session, installation(),
                                                nullptr, 1.0);
        log.watchTask(stage.get(), u"list"_s);
        stage->execute();
    }

    bool finish()
    {
        return QTest::qWaitFor([this] { return stage->state() != TaskSpecification::Running; });
    }

private slots:
    void initTestCase()
    {
        // Two copies blocked on pipes must not starve the pool.
        WorkPool::instance()->setMaxThreadCount(qMax(4, WorkPool::instance()->maxThreadCount()));
    }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        root = dir->filePath(u"root"_s);
        session = SessionLayout(dir->filePath(u"temp"_s));
        QVERIFY(QDir().mkpath(session.directory()));
        QVERIFY(writeFile(rooted(u"a.txt"_s), "old a"));
        QVERIFY(writeFile(rooted(u"b.txt"_s), "old b"));
        QVERIFY(writeFile(rooted(u"lib/c.so"_s), "old c"));
        QVERIFY(writeFile(rooted(u"keep.txt"_s), "not in the update"));
        replaceList.clear();
        deleteList.clear();
        log.clear();
    }

    void cleanup()
    {
        stage.reset();
        WorkPool::instance()->waitForDone();
    }

    void subtasks_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("plan");
        QTest::addColumn<QStringList>("started");
        const QStringList ac{u"a.txt"_s, u"lib/c.so"_s};
        QTest::newRow("existing directories") << ac
                                              << QStringList{u"FileReplaceTaskSpecification 0.5"_s,
                                                             u"FileReplaceTaskSpecification 0.5"_s}
                                              << ac;
        QTest::newRow("one new directory")
                << QStringList{u"new/x"_s, u"new/y"_s}
                << QStringList{u"DirCreateTaskSpecification %root/new 0.1"_s,
                               u"FileReplaceTaskSpecification 0.45"_s,
                               u"FileReplaceTaskSpecification 0.45"_s}
                << QStringList{u"new/x"_s, u"new/y"_s};
        QTest::newRow("parent after child in the list")
                << QStringList{u"new/deep/x"_s, u"new/y"_s, u"a.txt"_s}
                << QStringList{u"DirCreateTaskSpecification %root/new 0.05"_s,
                               u"DirCreateTaskSpecification %root/new/deep 0.05"_s,
                               u"FileReplaceTaskSpecification 0.3"_s,
                               u"FileReplaceTaskSpecification 0.3"_s,
                               u"FileReplaceTaskSpecification 0.3"_s}
                << QStringList{u"new/deep/x"_s, u"new/y"_s, u"a.txt"_s};
        // The updater's own files come last, one after the other, once the rest is on the disk.
        QTest::newRow("updater's own files")
                << QStringList{u"update"_s, u"a.txt"_s, u"imageformats/libqgif.so"_s, u"b.txt"_s}
                << QStringList{u"DirCreateTaskSpecification %root/imageformats 0.1"_s,
                               u"FileReplaceTaskSpecification 0.45"_s,
                               u"FileReplaceTaskSpecification 0.45"_s}
                << QStringList{u"a.txt"_s, u"b.txt"_s, u"update"_s, u"imageformats/libqgif.so"_s};
        QTest::newRow("nothing") << QStringList() << QStringList() << QStringList();
    }

    void subtasks()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, plan);
        QFETCH(QStringList, started);
        for (const QString& name : std::as_const(names))
            add(name);

        start();

        QVERIFY(finish());
        QCOMPARE(stage->plan(), expand(plan));
        QCOMPARE(withoutProgress(log.events()),
                 (QStringList{u"list message Starting file updates"_s} + startLines(started) +
                  (started.isEmpty() ? QStringList() // nothing to commit
                                     : QStringList{u"list message Writing the installed files "
                                                   u"to the disk"_s}) +
                  QStringList{u"list finished"_s}));
    }

    // Followed by the delete list, as in an update, the stage leaves exactly the new version.
    void success()
    {
        addUsualUpdate();
        add(u"top/mid/f.txt"_s); // two levels made by one directory task
        TreeSnapshot expected = installedTree(root);
        for (const FileReplaceSpecification& record : std::as_const(replaceList)) {
            const QString name = record.destFileName(QString());
            expected.addFile(name, newVersion(name),
                             name.endsWith(u".so") ? 0755u : TreeSnapshot::newFileMode());
        }
        for (const QString& newDir : {u"new"_s, u"new/deep"_s, u"top"_s, u"top/mid"_s})
            expected.addDir(newDir, TreeSnapshot::newDirMode());

        start();
        QVERIFY(finish());

        QCOMPARE(stage->state(), TaskSpecification::Finished);
        QCOMPARE(stage->deletions(),
                 (QStringList{u"_old_a.txt"_s, u"_old_b.txt"_s, u"lib/_old_c.so"_s}));
        // From here on a start after a kill finishes the deletions instead of undoing.
        QVERIFY(ReplaceJournal(installation(), session.directory()).isCommitted());
        FileDeleteListTaskSpecification deletion(stage->deletions(), installation(), nullptr, 1.0);
        deletion.execute();
        QTRY_COMPARE(deletion.state(), TaskSpecification::Finished);
        COMPARE_TREES(installedTree(root), expected);
    }

    // A long list holds two replacements at a time, and none is left once the stage is done.
    void holdsOnlyTheRunningReplacements()
    {
        for (int i = 0; i < 40; ++i)
            add(u"many/f%1"_s.arg(i));

        start();
        QVERIFY(finish());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        QCOMPARE(stage->state(), TaskSpecification::Finished);
        QCOMPARE(stage->plan().size(), 41);
        QCOMPARE(stage->mostAlive(), 2);
        QCOMPARE(stage->findChildren<TaskSpecification*>(), QList<TaskSpecification*>());
        QCOMPARE(readFile(rooted(u"many/f39"_s)), newVersion(u"many/f39"_s));
    }

    void failureUndoesEverything_data()
    {
        QTest::addColumn<QString>("spoil");
        QTest::addColumn<QStringList>("started");
        QTest::addColumn<QString>("failure");
        const QStringList all{u"a.txt"_s, u"b.txt"_s, u"lib/c.so.gz"_s, u"new/deep/d.txt"_s,
                              u"new/e.txt.gz"_s};
        // A stale backup that cannot go stops the stage before any file is replaced.
        QTest::newRow("backup name taken")
                << u"backup"_s << QStringList() << u"Could not delete '%root/_old_b.txt'"_s;
        // The last one fails after the others have finished, when all of them are undone.
        QTest::newRow("last: unpacked file wrong")
                << u"md5"_s << all << u"Signature check failed for %root/new/e.txt"_s;
        QTest::newRow("last: download corrupt")
                << u"corrupt"_s << all
                << u"Could not unzip '%temp/new/e.txt.gz' to '%root/new/e.txt'"_s;
        QTest::newRow("last: download vanished")
                << u"vanish"_s << all
                << u"Could not unzip '%temp/new/e.txt.gz' to '%root/new/e.txt'"_s;
        QTest::newRow("file where a directory must be")
                << u"file"_s << QStringList()
                << u"Could not create dir '%root/new' because it already exists and is not a "
                   "dir"_s;
    }

    void failureUndoesEverything()
    {
        QFETCH(QString, spoil);
        QFETCH(QStringList, started);
        QFETCH(QString, failure);
        addUsualUpdate();
        const QString lastDownload = downloaded(u"new/e.txt.gz"_s);
        if (spoil == u"backup") // a non-empty directory cannot be deleted, not even by root
            QVERIFY(writeFile(rooted(u"_old_b.txt/inside"_s), "blocks the backup name"));
        else if (spoil == u"md5")
            replaceList.last().unpackedMd5 = md5Hex("something else");
        else if (spoil == u"corrupt")
            QVERIFY(writeFile(lastDownload, readFile(lastDownload).chopped(100)));
        else if (spoil == u"vanish")
            QVERIFY(QFile::remove(lastDownload));
        else
            QVERIFY(writeFile(rooted(u"new"_s), "a file"));
        const TreeSnapshot before = installedTree(root);

        start();
        QVERIFY(finish());

        // Without a single undo warning: files before their directories, deepest first.
        QCOMPARE(withoutRepair(log.events()),
                 expand(QStringList{u"list message Starting file updates"_s} + startLines(started) +
                        QStringList{u"list message "_s + failure,
                                    u"list message rolling back file updates"_s,
                                    u"list canceled ErrorCanceled"_s}));
        COMPARE_TREES(installedTree(root), before);
        QVERIFY(!ReplaceJournal(installation(), session.directory())
                         .exists()); // nothing left to repair
    }

    // The user cancels while two copies are in the middle of their work: they run to their end,
    // nothing further starts, and everything is undone, including what the two created after
    // the cancel.
    void cancel()
    {
        QVERIFY(makeFifo(downloaded(u"a.txt"_s)));
        QVERIFY(makeFifo(downloaded(u"new/x.txt"_s)));
        replaceList = {{u"dl"_s, u"a.txt"_s, {}, 0, {}}, {u"dl"_s, u"new/x.txt"_s, {}, 0, {}}};
        add(u"b.txt"_s);
        const TreeSnapshot before = installedTree(root);
        start();
        const int pipeA = waitForFifoReader(downloaded(u"a.txt"_s));
        const int pipeX = waitForFifoReader(downloaded(u"new/x.txt"_s));
        QVERIFY(pipeA != -1 && pipeX != -1);

        stage->userCanceled();
        QVERIFY(feedFifo(pipeA, newVersion(u"a.txt"_s)));
        QVERIFY(feedFifo(pipeX, newVersion(u"new/x.txt"_s)));
        QVERIFY(finish());

        QCOMPARE(withoutRepair(log.events()),
                 (QStringList{u"list message Starting file updates"_s,
                              u"list message add/replace a.txt"_s,
                              u"list message add/replace new/x.txt"_s,
                              u"list message rolling back file updates"_s,
                              u"list canceled UserCanceled"_s}));
        COMPARE_TREES(installedTree(root), before);
    }

    // A reset while a copy still runs does not wait for it: the stage stays Running until the
    // copy has reported, then undoes what it put in place after all.
    void resetWhileACopyRuns()
    {
        QVERIFY(makeFifo(downloaded(u"a.txt"_s)));
        replaceList = {{u"dl"_s, u"a.txt"_s, {}, 0, {}}};
        const TreeSnapshot before = installedTree(root);
        start();
        const int pipe = waitForFifoReader(downloaded(u"a.txt"_s));
        QVERIFY(pipe != -1);

        stage->reset();
        QCOMPARE(stage->state(), TaskSpecification::Running);
        QVERIFY(feedFifo(pipe, newVersion(u"a.txt"_s)));

        QTRY_COMPARE(stage->state(), TaskSpecification::Idle);
        COMPARE_TREES(TreeSnapshot::take(root), before);
    }

    // An undo that fails leaves the installation incomplete; that must stand out, and the journal
    // stays for the next start to try again.
    void failedUndoIsReported()
    {
        add(u"a.txt"_s);
        replaceList.append({u"dl"_s, u"new/y.txt.gz"_s, {}, 0, u"new/y.txt"_s});
        QVERIFY(makeFifo(downloaded(u"new/y.txt.gz"_s)));
        start();
        const int pipe = waitForFifoReader(downloaded(u"new/y.txt.gz"_s));
        QVERIFY(pipe != -1);
        QTRY_COMPARE(readFile(rooted(u"a.txt"_s)), newVersion(u"a.txt"_s));

        // Someone puts a directory where the restored file must go; not even root can replace it.
        QVERIFY(QFile::remove(rooted(u"a.txt"_s)));
        QVERIFY(writeFile(rooted(u"a.txt/intruder"_s), "not ours"));
        QVERIFY(writeGzip(dir->filePath(u"packed"_s), newVersion(u"new/y.txt"_s)));
        QVERIFY(feedFifo(pipe, readFile(dir->filePath(u"packed"_s)).chopped(100)));
        QVERIFY(finish());

        QCOMPARE(
                withoutRepair(log.events()),
                expand({u"list message Starting file updates"_s,
                        u"list message add/replace a.txt"_s,
                        u"list message add/replace new/y.txt.gz"_s,
                        u"list message Could not unzip '%temp/new/y.txt.gz' to '%root/new/y.txt'"_s,
                        u"list message rolling back file updates"_s,
                        u"list message Could not rename '%root/_old_a.txt' to '%root/a.txt'"_s,
                        u"list error Could not undo all file changes recorded in "
                        u"%root/.update.journal; the installation may be "
                        "incomplete"_s,
                        u"list canceled ErrorCanceled"_s}));
        QCOMPARE(readFile(rooted(u"_old_a.txt"_s)), "old a"_ba);
        QVERIFY(ReplaceJournal(installation(), session.directory()).exists());
    }

    void conflictingPathsChangeNothing_data()
    {
        QTest::addColumn<QList<FileReplaceSpecification>>("records");
        QTest::addColumn<QString>("failure");
        const FileReplaceSpecification a{u"dl"_s, u"a.txt"_s, {}, 0, {}};
        QTest::newRow("same file twice")
                << QList<FileReplaceSpecification>{a, {u"other"_s, u"a.txt"_s, {}, 0, {}}}
                << u"other/a.txt: its installed path conflicts with that of dl/a.txt"_s;
        QTest::newRow("unpacked onto another")
                << QList<FileReplaceSpecification>{a, {u"dl"_s, u"a.gz"_s, {}, 0, u"a.txt"_s}}
                << u"dl/a.gz: its installed path conflicts with that of dl/a.txt"_s;
        QTest::newRow("file where another needs a directory")
                << QList<FileReplaceSpecification>{{u"dl"_s, u"new/deep/x"_s, {}, 0, {}},
                                                   {u"dl"_s, u"new"_s, {}, 0, {}}}
                << u"dl/new/deep/x: its installed path conflicts with that of dl/new"_s;
        QTest::newRow("file under another's backup name")
                << QList<FileReplaceSpecification>{a, {u"dl"_s, u"_old_a.txt"_s, {}, 0, {}}}
                << u"dl/a.txt: its installed path conflicts with that of dl/_old_a.txt"_s;
    }

    // Such records would move, delete or back up each other's files: nothing is started.
    void conflictingPathsChangeNothing()
    {
        QFETCH(QList<FileReplaceSpecification>, records);
        QFETCH(QString, failure);
        replaceList = records;
        const TreeSnapshot before = installedTree(root);

        start();

        QCOMPARE(stage->plan(), QStringList());
        QCOMPARE(log.events(), (QStringList{u"list message Starting file updates"_s,
                                            u"list message Could not update "_s + failure,
                                            u"list canceled ErrorCanceled"_s}));
        COMPARE_TREES(installedTree(root), before);
    }
};

QTEST_GUILESS_MAIN(TestFileReplaceListTaskSpecification)
#include "tst_filereplacelisttaskspecification.moc"
