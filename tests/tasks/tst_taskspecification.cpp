#include "signallog.h"
#include "taskspecification.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// A leaf that only starts; the test ends it. Counts its instances and the notices it got.
class PlainTask : public TaskSpecification
{
    Q_OBJECT

public:
    static inline int alive = 0;

    explicit PlainTask(double weight)
        : TaskSpecification(nullptr, weight)
    {
        ++alive;
    }
    ~PlainTask() override { --alive; }

    void execute() override { state = Running; }
    void handleOtherTaskCancelled(TaskSpecification* other) override { notices.append(other); }

    QList<TaskSpecification*> notices;
};

} // namespace

class TestTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void finishReportsFullWeightThenFinished_data();
    void finishReportsFullWeightThenFinished();
    void setProgressScalesByWeight_data();
    void setProgressScalesByWeight();
    void setParentProgressRangeNeitherRescalesNorEmits();
    void cancelsShareOneSignal_data();
    void cancelsShareOneSignal();
    void resetReturnsToIdle();
    void otherTaskCancelledReachesOnlyRunningOthers_data();
    void otherTaskCancelledReachesOnlyRunningOthers();
    void userCanceledOnlySetsFlag();
    void timeTickReportsNothing();
};

void TestTaskSpecification::cleanup()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(PlainTask::alive, 0);
}

void TestTaskSpecification::finishReportsFullWeightThenFinished_data()
{
    QTest::addColumn<double>("weight");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("0.4") << 0.4 << QStringList{u"t progress 0.4"_s, u"t finished"_s};
    QTest::newRow("root") << 1.0 << QStringList{u"t progress 1"_s, u"t finished"_s};
}

void TestTaskSpecification::finishReportsFullWeightThenFinished()
{
    QFETCH(double, weight);
    QFETCH(QStringList, expected);
    PlainTask task(weight);
    SignalLog log;
    log.watchTask(&task, u"t"_s);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    task.setProgress(0.25);
    log.clear();

    task.finish();

    QCOMPARE(log.events(), expected);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).value<TaskSpecification*>(), &task);
    QCOMPARE(task.state, TaskSpecification::Finished);
    QCOMPARE(task.progress, weight);
}

void TestTaskSpecification::setProgressScalesByWeight_data()
{
    QTest::addColumn<double>("weight");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<double>("expected");
    QTest::newRow("half of 0.4") << 0.4 << 0.5 << 0.2;
    QTest::newRow("not clamped") << 0.4 << 1.5 << 0.6;
    QTest::newRow("zero weight") << 0.0 << 0.7 << 0.0;
}

void TestTaskSpecification::setProgressScalesByWeight()
{
    QFETCH(double, weight);
    QFETCH(double, fraction);
    QFETCH(double, expected);
    PlainTask task(weight);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    task.setProgress(fraction);

    QCOMPARE(task.progress, expected);
    QCOMPARE(progress.size(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), expected);
}

void TestTaskSpecification::setParentProgressRangeNeitherRescalesNorEmits()
{
    PlainTask task(0.4);
    task.setProgress(0.5);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    task.setParentProgressRange(0.8);

    QCOMPARE(task.progress, 0.2);
    QCOMPARE(progress.size(), 0);
    task.setProgress(0.5);
    QCOMPARE(task.progress, 0.4);
}

void TestTaskSpecification::cancelsShareOneSignal_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("failure") << false << QStringList{u"t canceled ErrorCanceled"_s};
    QTest::newRow("user") << true << QStringList{u"t canceled UserCanceled"_s};
}

void TestTaskSpecification::cancelsShareOneSignal()
{
    QFETCH(bool, byUser);
    QFETCH(QStringList, expected);
    PlainTask task(0.4);
    task.execute();
    task.setProgress(0.5);
    SignalLog log;
    log.watchTask(&task, u"t"_s);
    QSignalSpy finished(&task, &TaskSpecification::finished);

    if (byUser)
        task.userCancel();
    else
        task.errorCancel();

    QCOMPARE(log.events(), expected);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(task.progress, 0.2);
}

void TestTaskSpecification::resetReturnsToIdle()
{
    PlainTask task(0.4);
    task.execute();
    task.userCanceled();
    task.finish();
    SignalLog log;
    log.watchTask(&task, u"t"_s);

    task.reset();

    QCOMPARE(log.events(), QStringList{u"t progress 0"_s});
    QCOMPARE(task.state, TaskSpecification::Idle);
    QCOMPARE(task.progress, 0.0);
    QVERIFY(!task.userCanceledFlag);
}

void TestTaskSpecification::otherTaskCancelledReachesOnlyRunningOthers_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("aboutItself");
    QTest::addColumn<bool>("handled");
    QTest::newRow("running, other") << int(TaskSpecification::Running) << false << true;
    QTest::newRow("running, itself") << int(TaskSpecification::Running) << true << false;
    QTest::newRow("idle") << int(TaskSpecification::Idle) << false << false;
    QTest::newRow("finished") << int(TaskSpecification::Finished) << false << false;
    QTest::newRow("failed") << int(TaskSpecification::ErrorCanceled) << false << false;
    QTest::newRow("user canceled") << int(TaskSpecification::UserCanceled) << false << false;
}

void TestTaskSpecification::otherTaskCancelledReachesOnlyRunningOthers()
{
    QFETCH(int, state);
    QFETCH(bool, aboutItself);
    QFETCH(bool, handled);
    PlainTask task(0.5);
    PlainTask other(0.5);
    task.state = TaskState(state);
    TaskSpecification* cancelled = aboutItself ? &task : &other;

    task.onOtherTaskCancelled(cancelled);

    const QList<TaskSpecification*> expected =
            handled ? QList<TaskSpecification*>{cancelled} : QList<TaskSpecification*>{};
    QCOMPARE(task.notices, expected);
}

void TestTaskSpecification::userCanceledOnlySetsFlag()
{
    PlainTask task(0.4);
    task.execute();
    SignalLog log;
    log.watchTask(&task, u"t"_s);

    task.userCanceled();

    QVERIFY(task.userCanceledFlag);
    QCOMPARE(task.state, TaskSpecification::Running);
    QCOMPARE(log.events(), QStringList{});
}

void TestTaskSpecification::timeTickReportsNothing()
{
    PlainTask task(1.0);
    task.execute();
    quint64 done = 5;
    quint64 total = 6;
    quint64 speed = 7;
    bool downloading = true;

    task.timeTick(done, total, speed, downloading);

    QCOMPARE(done, 0u);
    QCOMPARE(total, 0u);
    QCOMPARE(speed, 0u);
    QVERIFY(!downloading);
}

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "tst_taskspecification.moc"
