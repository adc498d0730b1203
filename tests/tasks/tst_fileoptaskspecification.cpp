#include "fastfileoptaskspecification.h"
#include "runningbodies.h"
#include "signallog.h"
#include "slowfileoptaskspecification.h"
#include "workpool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {

// Creates one directory level, as the installer's directory creation does.
class MakeDirOp : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    explicit MakeDirOp(const QString& path)
        : FastFileOpTaskSpecification(path, nullptr, 0.3)
    {}

    TaskState stateDuringOp = Idle;

protected:
    Failure doOp() override
    {
        stateDuringOp = state();
        if (!QDir().mkdir(path))
            return {Failure::Kind::Disk, u"unable to create dir %1"_s.arg(path)};
        return {};
    }
};

class CopyFunc : public SlowFileOpFunc
{
public:
    using SlowFileOpFunc::SlowFileOpFunc;

    Failure run() override
    {
        return QFile::copy(source, target) ? Failure() : Failure{Failure::Kind::Disk, {}};
    }
};

class CopyOp : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    CopyOp(const QString& source, const QString& target)
        : SlowFileOpSpecification(u"unable to copy %1 to %2"_s.arg(source, target), source, target,
                                  nullptr, 0.5)
    {}

protected:
    std::unique_ptr<ASyncFunc> createFunction() override
    {
        return std::make_unique<CopyFunc>(source, target);
    }
};

} // namespace

class TestFileOpTaskSpecification : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    QString path(const QString& name) const { return dir->filePath(name); }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(QDir().mkpath(path(u"existing"_s)));
        QFile taken(path(u"taken"_s));
        QVERIFY(taken.open(QIODevice::WriteOnly));
        QFile source(path(u"source"_s));
        QVERIFY(source.open(QIODevice::WriteOnly) && source.write("new version") == 11);
    }

    void cleanup() { WorkPool::instance()->waitForDone(); }

    void fastOpEndsInsideExecute_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("done") << u"made"_s << QStringList{u"op progress 0.3"_s, u"op finished"_s};
        // A directory that exists already cannot be made, not even by root.
        QTest::newRow("fails") << u"existing"_s
                               << QStringList{u"op message unable to create dir %1"_s,
                                              u"op canceled ErrorCanceled"_s};
    }

    void fastOpEndsInsideExecute()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, expected);
        MakeDirOp op(path(name));
        SignalLog log;
        log.watchTask(&op, u"op"_s);

        op.execute();

        QCOMPARE(log.events(), expected.replaceInStrings(u"%1"_s, path(name)));
        QCOMPARE(op.stateDuringOp, TaskSpecification::Running);
    }

    void slowOpReportsItsResult_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("resetMeanwhile");
        QTest::addColumn<QStringList>("expected");
        const QString failed = u"op message unable to copy %1 to %2"_s;
        QTest::newRow("done") << u"copy"_s << false
                              << QStringList{u"op progress 0.5"_s, u"op finished"_s};
        // QFile::copy never overwrites, so an existing target makes the body fail.
        QTest::newRow("fails") << u"taken"_s << false
                               << QStringList{failed, u"op canceled ErrorCanceled"_s};
        // A failure is told, whatever became of the task.
        QTest::newRow("created, reset meanwhile")
                << u"copy"_s << true << QStringList{u"op progress 0"_s};
        QTest::newRow("failed, reset meanwhile")
                << u"taken"_s << true << QStringList{u"op progress 0"_s, failed};
    }

    void slowOpReportsItsResult()
    {
        QFETCH(QString, target);
        QFETCH(bool, resetMeanwhile);
        QFETCH(QStringList, expected);
        target = path(target);
        CopyOp op(path(u"source"_s), target);
        SignalLog log;
        log.watchTask(&op, u"op"_s);

        op.execute();
        if (resetMeanwhile) {
            op.reset(); // does not wait for the body, whose result arrives later
            QTRY_VERIFY(RunningBodies::instance()->isIdle());
        } else {
            QTRY_VERIFY(op.state() != TaskSpecification::Running);
        }
        QCoreApplication::processEvents();

        expected.replaceInStrings(u"%1"_s, path(u"source"_s)).replaceInStrings(u"%2"_s, target);
        QCOMPARE(log.events(), expected);
    }
};

QTEST_GUILESS_MAIN(TestFileOpTaskSpecification)
#include "tst_fileoptaskspecification.moc"
