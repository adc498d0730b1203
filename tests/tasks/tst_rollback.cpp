#include "rollback.h"
#include "signallog.h"
#include "taskspecification.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Any object with a "message(QString)" can take the journal's warnings; a signal will do.
class Sink : public QObject
{
    Q_OBJECT

signals:
    void message(QString text);
};

class Leaf : public TaskSpecification
{
    Q_OBJECT

public:
    Leaf()
        : TaskSpecification(nullptr, 1.0)
    {}
    void execute() override { setRunning(); }
};

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestRollback : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    Sink sink;
    SignalLog warnings;

    QString path(const QString& name) const { return dir->filePath(name); }

private slots:
    void initTestCase()
    {
        warnings.watch(&sink, &Sink::message, [](const QString& text) { return text; });
    }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        warnings.clear();
    }

    void emptyJournalSucceedsSilently()
    {
        RollbackDataList journal;

        QVERIFY(journal.rollback(&sink));
        QCOMPARE(warnings.events(), QStringList{});
    }

    void undoesNewestFirst()
    {
        // An installed file replaced: renamed to its backup name, then the new one created.
        const QString installed = path(u"client"_s);
        const QString backup = path(u"_old_client"_s);
        RollbackDataList journal;
        QVERIFY(writeFile(installed, "old"));
        QVERIFY(QFile::rename(installed, backup));
        journal.add(RollbackData(RollbackData::Rename, installed, backup));
        QVERIFY(writeFile(installed, "new"));
        journal.add(RollbackData(RollbackData::CreateFile, installed));
        // Directories are journaled outermost first and must go deepest first.
        for (const QString& level : {u"a"_s, u"a/b"_s}) {
            QVERIFY(QDir().mkdir(path(level)));
            journal.add(RollbackData(RollbackData::CreateDir, path(level)));
        }

        QVERIFY(journal.rollback(&sink));

        QCOMPARE(warnings.events(), QStringList{});
        QCOMPARE(readFile(installed), QByteArray("old"));
        QVERIFY(!QFile::exists(backup));
        QVERIFY(!QFile::exists(path(u"a"_s)));
        QVERIFY(journal.records().isEmpty());
    }

    void failedUndoWarnsAndContinues_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("warning");
        QTest::newRow("created file already removed")
                << u"vanished file"_s << u"warning: rollback create file %1/gone failed"_s;
        QTest::newRow("created dir no longer empty")
                << u"busy dir"_s << u"warning: rollback create dir %1/dir failed"_s;
        QTest::newRow("previous name taken again")
                << u"name taken"_s << u"warning: rollback rename %1/before to %1/after failed"_s;
        QTest::newRow("renamed file vanished")
                << u"rename vanished"_s
                << u"warning: rollback rename %1/before to %1/after failed"_s;
    }

    void failedUndoWarnsAndContinues()
    {
        QFETCH(QString, failure);
        QFETCH(QString, warning);
        RollbackDataList journal;
        QVERIFY(writeFile(path(u"earlier"_s), "x"));
        journal.add(RollbackData(RollbackData::CreateFile, path(u"earlier"_s)));
        if (failure == u"vanished file") {
            journal.add(RollbackData(RollbackData::CreateFile, path(u"gone"_s)));
        } else if (failure == u"busy dir") {
            QVERIFY(QDir().mkdir(path(u"dir"_s)));
            QVERIFY(writeFile(path(u"dir/inside"_s), "kept"));
            journal.add(RollbackData(RollbackData::CreateDir, path(u"dir"_s)));
        } else {
            if (failure == u"name taken") {
                QVERIFY(writeFile(path(u"before"_s), "someone else's"));
                QVERIFY(writeFile(path(u"after"_s), "renamed"));
            }
            journal.add(RollbackData(RollbackData::Rename, path(u"before"_s), path(u"after"_s)));
        }

        QVERIFY(!journal.rollback(&sink));

        QCOMPARE(warnings.events(), QStringList{warning.arg(dir->path())});
        QVERIFY(!QFile::exists(path(u"earlier"_s))); // the earlier record was still undone
        QVERIFY(journal.records().isEmpty());
        if (failure == u"busy dir")
            QCOMPARE(readFile(path(u"dir/inside"_s)), QByteArray("kept"));
        if (failure == u"name taken") {
            QCOMPARE(readFile(path(u"before"_s)), QByteArray("someone else's"));
            QCOMPARE(readFile(path(u"after"_s)), QByteArray("renamed"));
        }
    }

    void warningsReachTaskLog()
    {
        Leaf task;
        SignalLog log;
        log.watchTask(&task, u"t"_s);
        RollbackDataList journal;
        journal.add(RollbackData(RollbackData::CreateFile, path(u"gone"_s)));

        QVERIFY(!journal.rollback(&task));
        QCOMPARE(log.events(),
                 QStringList{u"t message warning: rollback create file %1 failed"_s.arg(
                         path(u"gone"_s))});

        // Without a target the undo is just as complete, only silent.
        journal.add(RollbackData(RollbackData::CreateFile, path(u"gone"_s)));
        QVERIFY(!journal.rollback(nullptr));
        QVERIFY(journal.records().isEmpty());
    }

    void appendListCopiesAndClearForgets()
    {
        RollbackDataList file;
        RollbackDataList stage;
        const RollbackData dirRecord(RollbackData::CreateDir, path(u"dir"_s));
        const RollbackData fileRecord(RollbackData::CreateFile, path(u"file"_s));
        stage.add(dirRecord);
        file.add(fileRecord);
        QVERIFY(writeFile(path(u"file"_s), "new"));

        stage.appendList(file);
        QCOMPARE(file.records(), QList<RollbackData>{fileRecord});
        file.clear();

        QVERIFY(file.rollback(&sink));
        QVERIFY(QFile::exists(path(u"file"_s))); // cleared, not undone
        QCOMPARE(stage.records(), (QList<RollbackData>{dirRecord, fileRecord}));
    }
};

QTEST_GUILESS_MAIN(TestRollback)
#include "tst_rollback.moc"
