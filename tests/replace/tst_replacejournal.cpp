#include "approot.h"
#include "replacejournal.h"
#include "replacetestsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

using Files = QMap<QString, QByteArray>; // path below the application root -> content

} // namespace

// The next run repairs what a killed replacement left, from the lines the killed run wrote first.
class TestReplaceJournal : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QString root;
    QString session;

    void place(const Files& files)
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeFile(root + u'/' + it.key(), it.value()));
    }
    // Every file below the scratch folder but the session's, by path from the root.
    [[nodiscard]] Files present() const
    {
        Files files;
        QDirIterator it(dir->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.startsWith(session + u'/'))
                files.insert(QDir(root).relativeFilePath(path), readFile(path));
        }
        return files;
    }
    [[nodiscard]] QString rooted(QString text) const { return text.replace(u"R/"_s, root + u'/'); }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        root = dir->filePath(u"root"_s);
        session = dir->filePath(u"session"_s);
        QVERIFY(QDir().mkpath(root) && QDir().mkpath(session));
        AppRoot::setPath(root);
    }
    void cleanup() { AppRoot::setPath(QString()); }

    void repair_data()
    {
        QTest::addColumn<QByteArray>("journal");
        QTest::addColumn<Files>("before");
        QTest::addColumn<Files>("after");
        QTest::addColumn<QStringList>("inPlace");
        QTest::addColumn<QStringList>("log");

        const Files backupOnly{{u"lib/_old_a.so"_s, "old"}};
        QTest::newRow("original put back")
                << "backup\tlib/a.so\n"_ba << backupOnly << Files{{u"lib/a.so"_s, "old"}}
                << QStringList()
                << QStringList{u"Restored R/lib/a.so, left at R/lib/_old_a.so by an interrupted "
                               u"update"_s};
        const Files both{{u"lib/a.so"_s, "new"}, {u"lib/_old_a.so"_s, "old"}};
        QTest::newRow("new file in place") << "backup\tlib/a.so\n"_ba << both << both
                                           << QStringList{u"lib/a.so"_s} << QStringList();
        const Files original{{u"a.txt"_s, "old"}};
        QTest::newRow("killed before the rename")
                << "backup\ta.txt\n"_ba << original << original << QStringList() << QStringList();
        const Files users{{u"_old_notes.txt"_s, "mine"}};
        QTest::newRow("a user's file is no backup")
                << "backup\ta.txt\n"_ba << users << users << QStringList() << QStringList();
        QTest::newRow("part file removed")
                << "part\tlib/.sonavelle_part_a.so\n"_ba
                << Files{{u"lib/.sonavelle_part_a.so"_s, "half"}, {u"lib/b"_s, "kept"}}
                << Files{{u"lib/b"_s, "kept"}} << QStringList()
                << QStringList{u"Removed R/lib/.sonavelle_part_a.so, left by an interrupted "
                               u"update"_s};
        const Files outside{{u"../_old_outside"_s, "x"}, {u"../part"_s, "y"}};
        QTest::newRow("paths out of the root are ignored")
                << "backup\t../outside\npart\t../part\npart\t/etc/hostname\n"_ba << outside
                << outside << QStringList() << QStringList();
        QTest::newRow("a line cut short by a kill is ignored")
                << "backup\tlib/a.so"_ba << backupOnly << backupOnly << QStringList()
                << QStringList();
        QTest::newRow("a line written twice counts once")
                << "backup\tlib/a.so\nbackup\tlib/a.so\n"_ba << backupOnly
                << Files{{u"lib/a.so"_s, "old"}} << QStringList()
                << QStringList{u"Restored R/lib/a.so, left at R/lib/_old_a.so by an interrupted "
                               u"update"_s};
    }

    void repair()
    {
        QFETCH(QByteArray, journal);
        QFETCH(Files, before);
        QFETCH(Files, after);
        QFETCH(QStringList, inPlace);
        QFETCH(QStringList, log);
        place(before);
        QVERIFY(writeFile(session + u'/' + ReplaceJournal::fileName(), journal));

        QStringList lines;
        const QStringList found =
                ReplaceJournal(session).repair([&lines](const QString& line) { lines << line; });

        QCOMPARE(present(), after);
        QCOMPARE(found, inPlace);
        for (QString& line : log)
            line = rooted(line);
        QCOMPARE(lines, log);
    }

    // Written lines are what repair reads; the updater's own files keep their backups.
    void recordAndRemoveBackups()
    {
        place({{u"lib/a.so"_s, "new"},
               {u"lib/_old_a.so"_s, "old"},
               {u"update"_s, "new"},
               {u"_old_update"_s, "old"},
               {u"_old_b.txt"_s, "someone's"}});
        ReplaceJournal journal(session);
        QVERIFY(journal.recordBackup(u"lib/a.so"_s));
        QVERIFY(journal.recordBackups({u"update"_s, u"c.txt"_s}));
        QVERIFY(journal.recordPart(u"lib/.sonavelle_part_a.so"_s));

        journal.removeBackups();

        QCOMPARE(present(), (Files{{u"lib/a.so"_s, "new"},
                                   {u"update"_s, "new"},
                                   {u"_old_update"_s, "old"},
                                   {u"_old_b.txt"_s, "someone's"}}));
    }

    void unwritableJournal()
    {
        // A directory where the journal file must go fails for root too.
        const QString journalPath = session + u'/' + ReplaceJournal::fileName();
        QVERIFY(QDir().mkpath(journalPath));
        ReplaceJournal journal(session);

        QVERIFY(!journal.recordBackup(u"a.txt"_s));
        QCOMPARE(journal.errorString(), u"Could not write to %1"_s.arg(journalPath));
        QVERIFY(journal.recordBackups({}));
    }
};

QTEST_GUILESS_MAIN(TestReplaceJournal)
#include "tst_replacejournal.moc"
