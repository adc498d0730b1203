#include "signallog.h"
#include "taskspecification.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// A leaf that only starts; the test ends it. Records the cancellation notices it handles.
class PlainTask : public TaskSpecification
{
    Q_OBJECT

public:
    explicit PlainTask(double weight)
        : TaskSpecification(nullptr, weight)
    {}

    void execute() override { setRunning(); }
    void handleOtherTaskCancelled(TaskSpecification* other) override { notices.append(other); }

    QList<TaskSpecification*> notices;
};

} // namespace

class TestTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void endOperations_data()
    {
        using T = TaskSpecification;
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("state");
        QTest::addColumn<double>("progress");
        QTest::addColumn<bool>("userFlag");
        // A running task of weight 0.4 at half its work ("t progress 0.2"), then:
        QTest::newRow("finish") << u"finish"_s
                                << QStringList{u"t progress 0.2"_s, u"t progress 0.4"_s,
                                               u"t finished"_s}
                                << int(T::Finished) << 0.4 << false;
        QTest::newRow("errorCancel")
                << u"errorCancel"_s
                << QStringList{u"t progress 0.2"_s, u"t canceled ErrorCanceled"_s}
                << int(T::ErrorCanceled) << 0.2 << false;
        QTest::newRow("userCancel")
                << u"userCancel"_s << QStringList{u"t progress 0.2"_s, u"t canceled UserCanceled"_s}
                << int(T::UserCanceled) << 0.2 << false;
        QTest::newRow("userCanceled only asks")
                << u"userCanceled"_s << QStringList{u"t progress 0.2"_s} << int(T::Running) << 0.2
                << true;
        QTest::newRow("reset after a user cancel")
                << u"reset"_s
                << QStringList{u"t progress 0.2"_s, u"t canceled UserCanceled"_s, u"t progress 0"_s}
                << int(T::Idle) << 0.0 << false;
    }

    void endOperations()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, expected);
        QFETCH(int, state);
        QFETCH(double, progress);
        QFETCH(bool, userFlag);
        PlainTask task(0.4);
        SignalLog log;
        log.watchTask(&task, u"t"_s);
        task.execute();
        task.setProgress(0.5);

        if (operation == u"finish") {
            task.finish();
        } else if (operation == u"errorCancel") {
            task.errorCancel({Failure::Kind::Disk, u"failed"_s});
        } else if (operation == u"userCancel") {
            task.userCancel();
        } else if (operation == u"userCanceled") {
            task.userCanceled();
        } else {
            task.userCanceled();
            task.userCancel();
            task.reset();
        }

        QCOMPARE(log.events(), expected);
        QCOMPARE(task.state(), TaskState(state));
        QCOMPARE(task.progress(), progress);
        QCOMPARE(task.userCanceledFlag(), userFlag);
    }

    void otherTaskCancelledReachesOnlyRunningOthers_data()
    {
        using T = TaskSpecification;
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("aboutItself");
        QTest::addColumn<bool>("handled");
        QTest::newRow("running, other") << int(T::Running) << false << true;
        QTest::newRow("running, itself") << int(T::Running) << true << false;
        QTest::newRow("finished") << int(T::Finished) << false << false;
    }

    void otherTaskCancelledReachesOnlyRunningOthers()
    {
        QFETCH(int, state);
        QFETCH(bool, aboutItself);
        QFETCH(bool, handled);
        PlainTask task(0.5);
        PlainTask other(0.5);
        // Brought into the state through its own operations.
        if (TaskState(state) != TaskSpecification::Idle)
            task.execute();
        if (TaskState(state) == TaskSpecification::Finished)
            task.finish();
        TaskSpecification* cancelled = aboutItself ? &task : &other;

        task.onOtherTaskCancelled(cancelled);

        QCOMPARE(task.notices,
                 handled ? QList<TaskSpecification*>{cancelled} : QList<TaskSpecification*>{});
    }

    void timeTickOverwritesWithNothing()
    {
        PlainTask task(1.0);
        quint64 done = 5;
        quint64 total = 6;
        quint64 speed = 7;
        bool downloading = true;

        task.timeTick(done, total, speed, downloading);

        QCOMPARE((QList<quint64>{done, total, speed}), (QList<quint64>{0, 0, 0}));
        QVERIFY(!downloading);
    }
};

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "tst_taskspecification.moc"
