#include "replacejournal.h"
#include "replacejournal_p.h"
#include "replacetestsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

using Files = QMap<QString, QByteArray>; // path below the application root -> content
const QDateTime releaseTime(QDate(2026, 3, 1), QTime(12, 0), QTimeZone::utc());

} // namespace

// The next start repairs what a killed replacement left, from the records the killed run wrote
// first: undone to the old version before the commit, deletions finished after it.
class TestReplaceJournal : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QString root;
    QString session;

    // A content "link:<path>" makes a second name of the file at path.
    void place(const Files& files)
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (!it.value().startsWith("link:") && !it.key().endsWith(u'/'))
                QVERIFY(writeFile(root + u'/' + it.key(), it.value()));
        }
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString path = root + u'/' + it.key();
            if (it.value().startsWith("link:"))
                QVERIFY(::link(QFile::encodeName(root + u'/' + QString::fromUtf8(it.value().mid(5)))
                                       .constData(),
                               QFile::encodeName(path).constData()) == 0);
        }
    }
    // Every file and directory below the scratch folder, the session's too, by path from the
    // root; a directory as "<path>/".
    [[nodiscard]] Files present() const
    {
        Files files;
        QDirIterator it(dir->path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString key = QDir(root).relativeFilePath(path);
            if (QFileInfo(path).isDir())
                files.insert(key + u'/', {});
            else
                files.insert(key, readFile(path));
        }
        files.remove(u"./"_s);
        files.remove(u"../session/"_s);
        return files;
    }
    [[nodiscard]] QString rooted(QString text) const { return text.replace(u"R/"_s, root + u'/'); }
    // Writes the records of a script, each step a batch of its own: "replace|add <path>
    // <download>" (with the part files beside them), "mkdir <path>...", "stale <path>", "commit
    // [<deletion>...]", "release <version> <channel> [<deletion>...]" (a commit with the release
    // installed, released at releaseTime), "probation <version> <channel> <previous>
    // [<deletion>...]" (the same, on probation), "goingback <reason>", "cut <bytes>" (a write that
    // got that many bytes short), "raw <text>" (a line as older updaters wrote them) and "reboot"
    // (the temporary directory emptied).
    void write(const QStringList& script)
    {
        ReplaceJournal journal(InstallationLayout(root), session);
        const QString path = journal.path();
        for (const QString& step : script) {
            QStringList words = step.split(u' ');
            const QString verb = words.takeFirst();
            if (verb == u"replace")
                QVERIFY(journal.recordReplace(words.at(0), words.at(1)) && journal.sync());
            else if (verb == u"add")
                QVERIFY(journal.recordAdd(words.at(0), words.at(1)) && journal.sync());
            else if (verb == u"mkdir")
                QVERIFY(journal.recordDirectories(words) && journal.sync());
            else if (verb == u"stale")
                QVERIFY(journal.recordStale(words.at(0)) && journal.sync());
            else if (verb == u"commit")
                QVERIFY(journal.recordCommit(words));
            else if (verb == u"release")
                QVERIFY(journal.recordCommit(words.mid(2),
                                             {words.at(0).toInt(), words.at(1), releaseTime}));
            else if (verb == u"probation")
                QVERIFY(journal.recordCommitOnProbation(
                        words.mid(3), {words.at(0).toInt(), words.at(1), releaseTime},
                        {words.at(2).toInt(), words.at(1), {}}));
            else if (verb == u"goingback")
                QVERIFY(ReplaceJournalPrivateAccess::recordGoingBack(journal, words.join(u' ')));
            else if (verb == u"cut")
                QVERIFY(writeFile(path, readFile(path).chopped(words.at(0).toInt())));
            else if (verb == u"reboot")
                QVERIFY(QDir(session).removeRecursively());
            else if (verb == u"raw")
                QVERIFY(writeFile(path, readFile(path) +
                                                words.join(u' ').toUtf8().replace("\\t", "\t") +
                                                '\n'));
        }
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        root = dir->filePath(u"root"_s);
        session = dir->filePath(u"session"_s);
        QVERIFY(QDir().mkpath(root) && QDir().mkpath(session));
    }

    void repair_data()
    {
        QTest::addColumn<QStringList>("journal");
        QTest::addColumn<Files>("before");
        QTest::addColumn<Files>("after");
        QTest::addColumn<QStringList>("log");

        const QString restored =
                u"Restored R/lib/a.so, left at R/lib/_old_a.so by an interrupted update"_s;
        const Files replaced{{u"lib/a.so"_s, "new"}, {u"lib/_old_a.so"_s, "old"}};
        const Files original{{u"lib/"_s, {}}, {u"lib/a.so"_s, "old"}};
        QTest::newRow("original back over the new file, the download back in the session")
                << QStringList{u"replace lib/a.so a.so"_s} << replaced
                << (Files{{u"lib/"_s, {}}, {u"lib/a.so"_s, "old"}, {u"../session/a.so"_s, "new"}})
                << QStringList{restored};
        QTest::newRow("killed before the new file: the second name goes")
                << QStringList{u"replace lib/a.so a.so"_s}
                << (Files{{u"lib/a.so"_s, "old"}, {u"lib/_old_a.so"_s, "link:lib/a.so"}})
                << original
                << QStringList{u"Removed R/lib/_old_a.so, left by an interrupted update"_s};
        QTest::newRow("killed before the backup")
                << QStringList{u"replace lib/a.so a.so"_s} << original << original << QStringList();
        QTest::newRow("an original set aside by an older updater")
                << QStringList{u"raw backup\\tlib/a.so"_s} << Files{{u"lib/_old_a.so"_s, "old"}}
                << original << QStringList{restored};
        QTest::newRow("new files and directories go, a user's file stays")
                << QStringList{u"mkdir lib lib/sub"_s, u"add lib/sub/b.so b.so"_s,
                               u"add lib/c.so sub/c.so"_s, u"add lib/d.so d.so"_s}
                << Files{{u"lib/sub/b.so"_s, "b"},
                         {u"lib/c.so"_s, "c"},
                         {u"lib/.sonavelle_part_d.so"_s, "half"},
                         {u"lib/notes"_s, "mine"}}
                << Files{{u"lib/"_s, {}}, {u"lib/notes"_s, "mine"}, {u"../session/b.so"_s, "b"}}
                << QStringList{u"Removed R/lib/.sonavelle_part_d.so, left by an interrupted "
                               u"update"_s,
                               u"Removed R/lib/c.so, left by an interrupted update"_s,
                               u"Removed R/lib/sub/b.so, left by an interrupted update"_s,
                               u"Removed R/lib/sub, left by an interrupted update"_s};
        QTest::newRow("paths out of the root are ignored")
                << QStringList{u"raw backup\\t../outside"_s, u"raw part\\t/etc/hostname"_s}
                << Files{{u"../_old_outside"_s, "x"}} << Files{{u"../_old_outside"_s, "x"}}
                << QStringList();
        // Cut into the file record, behind which its part record went whole.
        QTest::newRow("a record cut short is ignored, also with records after it")
                << QStringList{u"add b.txt b.txt"_s, u"cut 40"_s, u"replace lib/a.so a.so"_s}
                << Files{{u"lib/a.so"_s, "new"}, {u"lib/_old_a.so"_s, "old"}, {u"b.txt"_s, "b"}}
                << (Files{{u"lib/"_s, {}},
                          {u"lib/a.so"_s, "old"},
                          {u"../session/a.so"_s, "new"},
                          {u"b.txt"_s, "b"}})
                << QStringList{restored};
        // Cut inside its path, a part record names a directory; it is no record at all.
        QTest::newRow("a part record cut short, with records after it")
                << QStringList{u"add lib/c.txt c.txt"_s, u"cut 32"_s, u"add d.txt d.txt"_s}
                << Files{{u"lib/keep"_s, "x"}, {u"lib/c.txt"_s, "c"}, {u"d.txt"_s, "d"}}
                << Files{{u"lib/"_s, {}},
                         {u"lib/keep"_s, "x"},
                         {u"../session/c.txt"_s, "c"},
                         {u"../session/d.txt"_s, "d"}}
                << QStringList{u"Removed R/d.txt, left by an interrupted update"_s,
                               u"Removed R/lib/c.txt, left by an interrupted update"_s};
        QTest::newRow("after the commit the deletions are finished")
                << QStringList{u"replace lib/a.so a.so"_s, u"commit lib/_old_a.so gone.txt"_s}
                << Files{{u"lib/a.so"_s, "new"},
                         {u"lib/_old_a.so"_s, "old"},
                         {u"gone.txt"_s, "x"},
                         {u"_old_update"_s, "old"}}
                << Files{{u"lib/"_s, {}}, {u"lib/a.so"_s, "new"}, {u"_old_update"_s, "old"}}
                << QStringList{u"Finishing the deletions of an interrupted update"_s,
                               u"Removed R/lib/_old_a.so, left by an interrupted update"_s,
                               u"Removed R/gone.txt, left by an interrupted update"_s};
        QTest::newRow("after the commit the release is recorded as installed")
                << QStringList{u"replace lib/a.so a.so"_s, u"release 7 beta lib/_old_a.so"_s}
                << replaced
                << Files{{u"lib/"_s, {}},
                         {u"lib/a.so"_s, "new"},
                         {u"update.ini"_s,
                          "[installed]\nchannel=beta\nreleased=2026-03-01T12:00:00Z\nversion=7\n"}}
                << QStringList{u"Finishing the deletions of an interrupted update"_s,
                               u"Removed R/lib/_old_a.so, left by an interrupted update"_s};
        const QStringList onProbation{u"mkdir new"_s, u"replace lib/a.so a.so"_s,
                                      u"add new/n.so n.so"_s,
                                      u"probation 8 stable 7 lib/_old_a.so gone.txt"_s};
        const Files probationTree{{u"lib/a.so"_s, "new"},
                                  {u"lib/_old_a.so"_s, "old"},
                                  {u"new/n.so"_s, "n"},
                                  {u"_old_gone.txt"_s, "x"}};
        QTest::newRow("a good start ends the probation")
                << onProbation << probationTree
                << Files{{u"lib/"_s, {}},
                         {u"lib/a.so"_s, "new"},
                         {u"new/"_s, {}},
                         {u"new/n.so"_s, "n"},
                         {u"update.ini"_s, "[installed]\nchannel=stable\nreleased=2026-03-01T12:00:"
                                           "00Z\nversion=8\n"}}
                << QStringList{u"Finishing the deletions of an interrupted update"_s,
                               u"Removed R/lib/_old_a.so, left by an interrupted update"_s,
                               u"Removed R/_old_gone.txt, left by an interrupted update"_s};
        const Files putBack{{u"lib/"_s, {}},
                            {u"lib/a.so"_s, "old"},
                            {u"gone.txt"_s, "x"},
                            {u"update.ini"_s,
                             "[installed]\nchannel=stable\nversion=7\n\n[refused]\nprevious=7\n"
                             "reason=Version 8 ended with signal 11\ntold=false\nversion=8\n"}};
        QTest::newRow("a failed start goes back to exactly the version before")
                << onProbation + QStringList{u"goingback Version 8 ended with signal 11"_s}
                << probationTree << putBack
                << QStringList{u"Version 8 ended with signal 11: going back to version 7"_s,
                               u"Restored R/gone.txt, left at R/_old_gone.txt by an interrupted "
                               u"update"_s,
                               u"Removed R/new/n.so, left by an interrupted update"_s, restored,
                               u"Removed R/new, left by an interrupted update"_s};
        QTest::newRow("a going back that was interrupted is finished")
                << onProbation + QStringList{u"goingback Version 8 ended with signal 11"_s}
                << Files{{u"lib/a.so"_s, "new"}, {u"lib/_old_a.so"_s, "old"}, {u"gone.txt"_s, "x"}}
                << putBack
                << QStringList{u"Version 8 ended with signal 11: going back to version 7"_s,
                               restored};
        QTest::newRow("a stale backup's deletion is nothing to undo")
                << QStringList{u"stale lib/_old_a.so"_s, u"replace lib/a.so a.so"_s}
                << Files{{u"lib/a.so"_s, "old"}} << original << QStringList();
        // Gone with the session directory, the download is fetched again by the next run.
        QTest::newRow("after a reboot the original is back")
                << QStringList{u"mkdir lib"_s, u"replace lib/a.so a.so"_s, u"add b.txt b.txt"_s,
                               u"reboot"_s}
                << (Files{{u"lib/a.so"_s, "new"}, {u"lib/_old_a.so"_s, "old"}, {u"b.txt"_s, "b"}})
                << original
                << QStringList{u"Removed R/b.txt, left by an interrupted update"_s, restored};
    }

    void repair()
    {
        QFETCH(QStringList, journal);
        QFETCH(Files, before);
        QFETCH(Files, after);
        QFETCH(QStringList, log);
        place(before);
        write(journal);

        QStringList lines;
        QVERIFY(ReplaceJournal(InstallationLayout(root), session)
                        .repair([&lines](const QString& line) { lines << line; }));

        // Whole once repaired: the journal is gone too.
        QCOMPARE(present(), after);
        for (QString& line : log)
            line = rooted(line);
        QCOMPARE(lines, log);
    }

    void unwritableJournal()
    {
        // A directory where the journal file must go fails for root too.
        ReplaceJournal journal(InstallationLayout(root), session);
        const QString journalPath = journal.path();
        QVERIFY(QDir().mkpath(journalPath));

        QVERIFY(journal.recordAdd(u"a.txt"_s, u"a.txt"_s));
        QVERIFY(!journal.sync());
        QCOMPARE(journal.errorString(), u"Could not write to %1"_s.arg(journalPath));
        QVERIFY(journal.recordDirectories({}) && journal.sync());
        // What could not be read back is not written, and the change is not made.
        QVERIFY(!journal.recordAdd(u"../outside"_s, u"a.txt"_s));
        QCOMPARE(journal.errorString(),
                 u"'../outside' cannot be recorded in %1"_s.arg(journalPath));
        // Nor can it be removed: a repair that leaves it says so.
        QVERIFY(!journal.repair([](const QString&) {}));
        QVERIFY(journal.errorString().startsWith(
                u"Could not remove %1 after its repair: "_s.arg(journalPath)));
    }

    // A repair that does not reach the disk keeps the journal, and no run appends to its commit.
    void repairOnAFailingDisk()
    {
        write({u"replace lib/a.so a.so"_s, u"commit lib/_old_a.so"_s});
        ReplaceJournal journal(InstallationLayout(root), session);
        ReplaceJournalPrivateAccess::setSyncsFail(true);
        const bool repaired = journal.repair([](const QString&) {});
        ReplaceJournalPrivateAccess::setSyncsFail(false);

        QVERIFY(!repaired);
        QCOMPARE(journal.errorString(), u"Could not write the repair of %1 to the disk: %2"_s.arg(
                                                journal.path(), qt_error_string(EIO)));
        QVERIFY(journal.isCommitted());
        QVERIFY(journal.recordAdd(u"b.txt"_s, u"b.txt"_s));
        QVERIFY(!journal.sync());
        QCOMPARE(journal.errorString(), u"%1 holds the commit of an update that is not finished; "
                                        u"nothing more is recorded in it"_s.arg(journal.path()));
    }
};

QTEST_GUILESS_MAIN(TestReplaceJournal)
#include "tst_replacejournal.moc"
