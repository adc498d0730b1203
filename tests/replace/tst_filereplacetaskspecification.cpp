#include "filerenametaskspecification.h"
#include "filereplacetaskspecification.h"
#include "replacejournal.h"
#include "replacetestsupport.h"
#include "sessionlayout.h"
#include "signallog.h"
#include "treesnapshot.h"
#include "workpool.h"

#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {

const QByteArray oldContent = "installed version";
const QByteArray newContent = noise(40 * 1024);

// Shows which subtasks a replacement made, with their weights.
class InspectedReplacement : public FileReplaceTaskSpecification
{
public:
    using FileReplaceTaskSpecification::FileReplaceTaskSpecification;

    QStringList plan() const
    {
        QStringList steps;
        for (const TaskSpecification* t : subTasks)
            steps.append(QString::fromLatin1(t->metaObject()->className()) + u' ' +
                         SignalLog::number(t->parentProgressRange()));
        return steps;
    }
};

} // namespace

class TestFileReplaceTaskSpecification : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    SessionLayout session;
    QString root;
    SignalLog log;

    QString rooted(const QString& name) const { return root + u'/' + name; }
    InstallationLayout installation() const { return InstallationLayout(root); }
    QString downloaded(const QString& name) const { return session.filePath(name); }

    // A download for installedName; packed means it is installed from installedName + ".gz".
    FileReplaceSpecification download(const QString& installedName, bool packed,
                                      const QByteArray& content = newContent)
    {
        if (!packed) {
            writeFile(downloaded(installedName), content);
            return {u"dl"_s, installedName, {}, 0, {}};
        }
        const QString name = installedName + u".gz"_s;
        writeGzip(downloaded(name), content);
        return {u"dl"_s, name, md5Hex(content), content.size(), installedName};
    }

    // The replacement as the list makes it, once the journal names what it will change.
    std::unique_ptr<InspectedReplacement> replacement(const FileReplaceSpecification& record)
    {
        const auto plan = FileReplaceTaskSpecification::planFor(record, session, installation());
        ReplaceJournal journal(installation(), session.directory());
        const bool announced =
                (plan.replacing ? journal.recordReplace(plan.installed, plan.movedDownload)
                                : journal.recordAdd(plan.installed, plan.movedDownload)) &&
                journal.sync();
        if (!announced)
            qWarning() << journal.errorString();
        auto task = std::make_unique<InspectedReplacement>(record, plan, session, installation(),
                                                           nullptr, 1.0);
        log.watchTask(task.get(), u"replace"_s);
        return task;
    }

    static bool run(TaskSpecification& task)
    {
        task.execute();
        return QTest::qWaitFor([&task] { return task.state() != TaskSpecification::Running; });
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        root = dir->filePath(u"root"_s);
        session = SessionLayout(dir->filePath(u"temp"_s));
        QVERIFY(writeFile(rooted(u"lib/keep.txt"_s), "untouched"));
        log.clear();
    }

    void cleanup() { WorkPool::instance()->waitForDone(); }

    void sequences_data()
    {
        QTest::addColumn<bool>("installed");
        QTest::addColumn<bool>("staleBackup");
        QTest::addColumn<bool>("packed");
        QTest::addColumn<QStringList>("plan");
        const QString ren = u"FileBackupTaskSpecification 0.1"_s;
        const QString check = u"CheckSignatureTaskSpecification 0.2"_s;
        QTest::newRow("new") << false << false << false
                             << QStringList{u"FileTransferTaskSpecification 1"_s};
        QTest::newRow("new, packed") << false << false << true
                                     << QStringList{u"FileTransferTaskSpecification 0.8"_s, check};
        // Without an installed file a backup name is not looked at.
        QTest::newRow("new, stale backup")
                << false << true << false << QStringList{u"FileTransferTaskSpecification 1"_s};
        QTest::newRow("installed") << true << false << false
                                   << QStringList{ren, u"FileTransferTaskSpecification 0.9"_s};
        QTest::newRow("installed, packed")
                << true << false << true
                << QStringList{ren, u"FileTransferTaskSpecification 0.7"_s, check};
    }

    void sequences()
    {
        QFETCH(bool, installed);
        QFETCH(bool, staleBackup);
        QFETCH(bool, packed);
        QFETCH(QStringList, plan);
        if (installed)
            QVERIFY(writeFile(rooted(u"lib/x.txt"_s), oldContent));
        if (staleBackup)
            QVERIFY(writeFile(rooted(u"lib/_old_x.txt"_s), "from an earlier run"));
        TreeSnapshot after = installedTree(root);
        if (installed)
            after.rename(u"lib/x.txt"_s, u"lib/_old_x.txt"_s);
        after.addFile(u"lib/x.txt"_s, newContent, TreeSnapshot::newFileMode());
        const FileReplaceSpecification record = download(u"lib/x.txt"_s, packed);
        auto task = replacement(record);

        QVERIFY(run(*task));

        QCOMPARE(task->plan(), plan);
        QCOMPARE(withoutProgress(log.events()),
                 (QStringList{u"replace message add/replace "_s + record.fileName,
                              u"replace finished"_s}));
        COMPARE_TREES(installedTree(root), after);
    }

    void backupsAndModes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("backup");
        QTest::addColumn<bool>("backupDeletedLater");
        QTest::addColumn<uint>("mode");
        const uint plain = TreeSnapshot::newFileMode();
        // The updater's own files are in use; their backups go at the next start.
        QTest::newRow("updater") << u"update"_s << u"_old_update"_s << false << 0755u;
        QTest::newRow("updater's library") << u"imageformats/libqjpeg.so"_s
                                           << u"imageformats/_old_libqjpeg.so"_s << false << 0755u;
        QTest::newRow("library") << u"lib/libvoice.so.4"_s << u"lib/_old_libvoice.so.4"_s << true
                                 << 0755u;
        QTest::newRow("client") << u"vq3client_linux_amd64"_s << u"_old_vq3client_linux_amd64"_s
                                << true << 0755u;
        QTest::newRow("data") << u"lib/sounds.dat"_s << u"lib/_old_sounds.dat"_s << true << plain;
    }

    void backupsAndModes()
    {
        QFETCH(QString, name);
        QFETCH(QString, backup);
        QFETCH(bool, backupDeletedLater);
        QFETCH(uint, mode);
        QVERIFY(writeFile(rooted(name), oldContent));
        TreeSnapshot after = installedTree(root);
        after.rename(name, backup);
        after.addFile(name, newContent, mode);
        // Only a file that is not the updater's own has its backup deleted by the run.
        const FileReplaceSpecification record = download(name, false);
        QCOMPARE(FileReplaceTaskSpecification::planFor(record, session, installation()).special,
                 !backupDeletedLater);
        auto task = replacement(record);

        QVERIFY(run(*task));

        QCOMPARE(task->state(), TaskSpecification::Finished);
        COMPARE_TREES(installedTree(root), after);
    }

    void executableRules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("executable");
        for (const QString& name : FileReplaceTaskSpecification::executableFiles())
            QTest::newRow(qPrintable(name)) << name << true;
        QTest::newRow("so") << u"libvoice.so"_s << true;
        QTest::newRow("so.4") << u"libQtCore.so.4"_s << true;
        QTest::newRow("so.4.8") << u"libQtCore.so.4.8"_s << false;
        QTest::newRow("x.so.bak") << u"libvoice.x.so.bak"_s << false;
        QTest::newRow("dotted before so") << u"libvoice.x.so"_s << false;
        QTest::newRow("other case") << u"Update"_s << false;
        QTest::newRow("other suffix") << u"update.sh"_s << false;
    }

    void executableRules()
    {
        QFETCH(QString, name);
        QFETCH(bool, executable);
        const QString path = rooted(u"bin/"_s + name);
        QVERIFY(writeFile(path, "program"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));

        FileReplaceTaskSpecification::makeSingleFileExecutable(path);

        QCOMPARE(installedTree(root).entries().value(u"bin/"_s + name).mode,
                 executable ? 0755u : 0600u);
    }

    void failureIsUndoneByTheJournal_data()
    {
        QTest::addColumn<bool>("packed");
        QTest::addColumn<QString>("spoil");
        QTest::addColumn<QString>("failure");
        QTest::newRow("unpacked file wrong")
                << true << u"md5"_s << u"Signature check failed for %root/lib/x.txt"_s;
        QTest::newRow("corrupt download") << true << u"corrupt"_s
                                          << u"Could not unzip '%temp/lib/x.txt.gz' to "
                                             "'%root/lib/x.txt'"_s;
        QTest::newRow("download vanished")
                << false << u"vanish"_s
                << u"Could not copy '%temp/lib/x.txt' to '%root/lib/x.txt'"_s;
    }

    // What the plan names in the journal is all a failed replacement changed: the repair leaves
    // the file as it was.
    void failureIsUndoneByTheJournal()
    {
        QFETCH(bool, packed);
        QFETCH(QString, spoil);
        QFETCH(QString, failure);
        QVERIFY(writeFile(rooted(u"lib/x.txt"_s), oldContent));
        FileReplaceSpecification record = download(u"lib/x.txt"_s, packed);
        if (spoil == u"md5")
            record.unpackedMd5 = md5Hex("something else");
        else if (spoil == u"corrupt")
            QVERIFY(writeFile(downloaded(record.fileName),
                              readFile(downloaded(record.fileName)).chopped(100)));
        else
            QVERIFY(QFile::remove(downloaded(record.fileName)));
        const TreeSnapshot before = installedTree(root);
        auto task = replacement(record);

        QVERIFY(run(*task));

        failure.replace(u"%root"_s, root).replace(u"%temp"_s, session.directory());
        QCOMPARE(withoutProgress(log.events()),
                 (QStringList{u"replace message add/replace "_s + record.fileName,
                              u"replace message "_s + failure,
                              u"replace canceled ErrorCanceled"_s}));
        QVERIFY(ReplaceJournal(installation(), session.directory()).repair([](const QString&) {}));
        COMPARE_TREES(installedTree(root), before);
    }

    // The changes are the journal's to undo: a reset of the replacement leaves them.
    void resetAfterSuccessLeavesTheUndoToTheJournal()
    {
        QVERIFY(writeFile(rooted(u"lib/x.txt"_s), oldContent));
        const TreeSnapshot before = installedTree(root);
        auto task = replacement(download(u"lib/x.txt"_s, false));
        QVERIFY(run(*task));
        const TreeSnapshot installed = installedTree(root);

        task->reset();

        COMPARE_TREES(installedTree(root), installed);
        QVERIFY(ReplaceJournal(installation(), session.directory()).repair([](const QString&) {}));
        COMPARE_TREES(installedTree(root), before);
        // The moved download is back for a later run.
        QCOMPARE(readFile(downloaded(u"lib/x.txt"_s)), newContent);
    }
};

QTEST_GUILESS_MAIN(TestFileReplaceTaskSpecification)
#include "tst_filereplacetaskspecification.moc"
