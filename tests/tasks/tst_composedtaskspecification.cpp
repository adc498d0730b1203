#include "composedtaskspecification.h"
#include "signallog.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

int liveTasks = 0;

// Starts, logs it, and waits for the test to end it.
class ManualLeaf : public TaskSpecification
{
    Q_OBJECT

public:
    ManualLeaf(const QString& name, SignalLog* log, QObject* parent, double weight)
        : TaskSpecification(parent, weight)
        , name(name)
        , log(log)
    {
        ++liveTasks;
    }
    ~ManualLeaf() override { --liveTasks; }

    void execute() override
    {
        setRunning();
        log->add(name + u" started"_s);
    }

    const QString name;
    SignalLog* const log;
};

// Ends inside its own execute(), like a fast file operation; watches for nested starts.
class InstantLeaf : public ManualLeaf
{
    Q_OBJECT

public:
    using ManualLeaf::ManualLeaf;

    static inline int depth = 0;
    static inline int maxDepth = 0;

    void execute() override
    {
        maxDepth = std::max(maxDepth, ++depth);
        ManualLeaf::execute();
        finish();
        --depth;
    }
};

// Stops at once when told, as a transfer that can be aborted does.
class DownloadLeaf : public ManualLeaf
{
    Q_OBJECT

public:
    using ManualLeaf::ManualLeaf;

    void userCanceled() override
    {
        TaskSpecification::userCanceled();
        if (state() == Running)
            userCancel();
    }
    void handleOtherTaskCancelled(TaskSpecification* /*other*/) override
    {
        errorCancel({Failure::Kind::Disk, u"failed"_s});
    }
};

// Reports the transfer figures it is given: done, total, speed, downloading (0 or 1).
class TickLeaf : public ManualLeaf
{
    Q_OBJECT

public:
    using ManualLeaf::ManualLeaf;

    void timeTick(quint64& done, quint64& total, quint64& speed, bool& downloading) override
    {
        done = figures.value(0);
        total = figures.value(1);
        speed = figures.value(2);
        downloading = figures.value(3) != 0;
    }

    QList<quint64> figures;
};

class Composed : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    Composed(const QString& name, SignalLog* log, int maxParallel, QObject* parent, double weight)
        : ComposedTaskSpecification(maxParallel, weight, parent)
        , name(name)
        , log(log)
    {
        ++liveTasks;
    }
    ~Composed() override { --liveTasks; }

    void execute() override
    {
        log->add(name + u" started"_s);
        executeSubTasks();
    }

    using ComposedTaskSpecification::addSubTasksOnDemand;
    using ComposedTaskSpecification::doneSubTasks;
    using ComposedTaskSpecification::runningSubTasks;
    using ComposedTaskSpecification::subTasks;
    using ComposedTaskSpecification::subtasksDone;
    using ComposedTaskSpecification::waitingSubTasks;

    const QString name;
    SignalLog* const log;
};

// Builds its two subtasks anew on every run, as the pipeline's stages do.
class Rebuilding : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    explicit Rebuilding(SignalLog* log)
        : ComposedTaskSpecification(1, 1.0, nullptr)
        , log(log)
    {
        ++liveTasks;
    }
    ~Rebuilding() override { --liveTasks; }

    void execute() override
    {
        ++runs;
        for (const QString& name : {u"a"_s, u"b"_s}) {
            auto* leaf = new ManualLeaf(name + QString::number(runs), log, this, 0.5);
            leaves.append(leaf);
            addSubTask(leaf);
        }
        executeSubTasks();
    }
    void reset() override
    {
        leaves.clear();
        resetWithoutSubTasks();
    }

    [[nodiscard]] int running() const
    {
        return int(std::count_if(leaves.cbegin(), leaves.cend(), [](const ManualLeaf* leaf) {
            return leaf->state() == TaskSpecification::Running;
        }));
    }

    SignalLog* const log;
    QList<ManualLeaf*> leaves;
    int runs = 0;
};

QStringList withoutProgress(QStringList events)
{
    events.removeIf([](const QString& e) { return e.contains(u" progress "_s); });
    return events;
}

} // namespace

class TestComposedTaskSpecification : public QObject
{
    Q_OBJECT

    SignalLog log;
    QList<QPointer<Composed>> roots;

    Composed* makeRoot(int maxParallel, double weight = 1.0)
    {
        auto* root = new Composed(u"root"_s, &log, maxParallel, nullptr, weight);
        roots.append(root);
        log.watchTask(root, u"root"_s);
        return root;
    }

    template<typename Task, typename... Args>
    Task* add(Composed* parent, const QString& name, double weight, Args... args)
    {
        auto* task = new Task(name, &log, args..., parent, weight);
        // Watched before the parent connects, so the log shows each signal before its effects.
        log.watchTask(task, name);
        parent->addSubTask(task);
        return task;
    }

    // Leaves made on demand log their making; each reports 10 of 10 bytes once it has run.
    void addOnDemand(Composed* root, int count)
    {
        root->addSubTasksOnDemand(count, [this, root, count](qsizetype index) {
            const QString name = u"d%1"_s.arg(index);
            log.add(u"make "_s + name + u" alive "_s + QString::number(liveTasks - 1));
            auto* leaf = new TickLeaf(name, &log, root, 1.0 / (count + 1));
            leaf->figures = {10, 10, 10, 0};
            log.watchTask(leaf, name);
            return leaf;
        });
    }

    template<typename Leaf = TickLeaf>
    Leaf* running(Composed* root, const QString& name)
    {
        const auto leaves = root->findChildren<Leaf*>();
        for (Leaf* leaf : leaves) {
            if (leaf->name == name && leaf->state() == TaskSpecification::Running)
                return leaf;
        }
        return nullptr;
    }

private slots:
    void init()
    {
        log.clear();
        InstantLeaf::maxDepth = 0;
    }

    void cleanup()
    {
        for (Composed* root : std::as_const(roots)) {
            if (root)
                root->deleteLater();
        }
        roots.clear();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(liveTasks, 0);
    }

    void emptyFinishesInsideExecute()
    {
        Composed* root = makeRoot(1, 0.3);

        root->execute();

        QCOMPARE(log.events(),
                 (QStringList{u"root started"_s, u"root progress 0.3"_s, u"root finished"_s}));
    }

    void startsInOrderWithinParallelLimit_data()
    {
        QTest::addColumn<int>("maxParallel");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("one at a time")
                << 1
                << QStringList{u"a started"_s, u"a finished"_s, u"b started"_s,    u"b finished"_s,
                               u"c started"_s, u"c finished"_s, u"root finished"_s};
        QTest::newRow("two at a time")
                << 2
                << QStringList{u"a started"_s,  u"b started"_s,  u"a finished"_s,   u"c started"_s,
                               u"b finished"_s, u"c finished"_s, u"root finished"_s};
    }

    void startsInOrderWithinParallelLimit()
    {
        QFETCH(int, maxParallel);
        QFETCH(QStringList, expected);
        Composed* root = makeRoot(maxParallel);
        const QList<ManualLeaf*> leaves{add<ManualLeaf>(root, u"a"_s, 0.25),
                                        add<ManualLeaf>(root, u"b"_s, 0.25),
                                        add<ManualLeaf>(root, u"c"_s, 0.5)};

        root->execute();
        QCOMPARE(log.take().last(), u"root started"_s); // nothing starts before the event loop
        // Each leaf is ended only after every start that could follow has had its turn.
        for (ManualLeaf* leaf : leaves) {
            QCoreApplication::processEvents();
            QCOMPARE(leaf->state(), TaskSpecification::Running);
            leaf->finish();
        }
        QCoreApplication::processEvents();

        QCOMPARE(withoutProgress(log.events()), expected);
    }

    void synchronousSubtasksStartThroughQueue()
    {
        const int count = 20;
        Composed* root = makeRoot(1);
        QStringList expected{u"root started"_s};
        for (int i = 0; i < count; ++i) {
            const QString name = u"l%1"_s.arg(i);
            add<InstantLeaf>(root, name, 1.0 / count);
            expected << name + u" started"_s << name + u" finished"_s;
        }
        expected << u"root finished"_s;
        log.clear();

        root->execute();
        QTRY_COMPARE(root->state(), TaskSpecification::Finished);

        QCOMPARE(withoutProgress(log.events()), expected);
        QCOMPARE(InstantLeaf::maxDepth, 1); // no start from inside another subtask's execute()
    }

    void failureIsBroadcastOnceAndStopsStarts_data()
    {
        QTest::addColumn<int>("survivorEnd");
        QTest::addColumn<QString>("survivorLine");
        QTest::newRow("survivor finishes") << int(TaskSpecification::Finished) << u"b finished"_s;
        QTest::newRow("survivor fails too")
                << int(TaskSpecification::ErrorCanceled) << u"b canceled ErrorCanceled"_s;
    }

    void failureIsBroadcastOnceAndStopsStarts()
    {
        QFETCH(int, survivorEnd);
        QFETCH(QString, survivorLine);
        Composed* root = makeRoot(3);
        ManualLeaf* a = add<ManualLeaf>(root, u"a"_s, 0.25);
        ManualLeaf* b = add<ManualLeaf>(root, u"b"_s, 0.25);
        DownloadLeaf* d = add<DownloadLeaf>(root, u"d"_s, 0.25);
        ManualLeaf* waiting = add<ManualLeaf>(root, u"w"_s, 0.25);
        QSignalSpy broadcasts(root, &TaskSpecification::otherTaskCancelled);
        root->execute();
        QTRY_COMPARE(d->state(), TaskSpecification::Running);
        log.clear();

        a->errorCancel({Failure::Kind::Disk, u"failed"_s});
        // The download aborts inside the broadcast; b cannot stop and keeps the root waiting.
        QCOMPARE(b->state(), TaskSpecification::Running);
        QCOMPARE(root->state(), TaskSpecification::Running);
        QCoreApplication::processEvents();
        if (survivorEnd == TaskSpecification::Finished)
            b->finish();
        else
            b->errorCancel({Failure::Kind::Disk, u"failed"_s});
        QTRY_COMPARE(root->state(), TaskSpecification::ErrorCanceled);

        QCOMPARE(withoutProgress(log.events()),
                 (QStringList{u"a canceled ErrorCanceled"_s, u"d canceled ErrorCanceled"_s,
                              survivorLine, u"root canceled ErrorCanceled"_s}));
        QCOMPARE(broadcasts.size(), 1);
        QCOMPARE(waiting->state(), TaskSpecification::Idle);
    }

    void userCancelWaitsForLeafThatCannotStop()
    {
        Composed* root = makeRoot(1);
        ManualLeaf* a = add<ManualLeaf>(root, u"a"_s, 0.5);
        ManualLeaf* b = add<ManualLeaf>(root, u"b"_s, 0.5);
        root->execute();
        QTRY_COMPARE(a->state(), TaskSpecification::Running);
        log.clear();

        root->userCanceled();
        QVERIFY(b->userCanceledFlag()); // waiting subtasks are told as well
        a->finish();
        QTRY_COMPARE(root->state(), TaskSpecification::UserCanceled);

        QCOMPARE(withoutProgress(log.events()),
                 (QStringList{u"a finished"_s, u"root canceled UserCanceled"_s}));
        QCOMPARE(b->state(), TaskSpecification::Idle);
    }

    void userCancelOfRunningDownloads_data()
    {
        QTest::addColumn<int>("parts");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("expectedBroadcasts");
        // The first part's end is not broadcast as a failure: the user cancel reaches the second
        // part's download as well, and the whole tree ends as cancelled by the user.
        QTest::newRow("two running")
                << 2
                << QStringList{u"d1 canceled UserCanceled"_s, u"s1 canceled UserCanceled"_s,
                               u"d2 canceled UserCanceled"_s, u"s2 canceled UserCanceled"_s,
                               u"root canceled UserCanceled"_s}
                << 0;
        QTest::newRow("one running")
                << 1
                << QStringList{u"d1 canceled UserCanceled"_s, u"s1 canceled UserCanceled"_s,
                               u"root canceled UserCanceled"_s}
                << 0;
    }

    void userCancelOfRunningDownloads()
    {
        QFETCH(int, parts);
        QFETCH(QStringList, expected);
        QFETCH(int, expectedBroadcasts);
        Composed* root = makeRoot(2);
        QList<DownloadLeaf*> downloads;
        for (int i = 1; i <= parts; ++i) {
            auto* part = add<Composed>(root, u"s%1"_s.arg(i), 1.0 / parts, 1);
            downloads << add<DownloadLeaf>(part, u"d%1"_s.arg(i), 1.0);
        }
        QSignalSpy broadcasts(root, &TaskSpecification::otherTaskCancelled);
        root->execute();
        for (DownloadLeaf* d : std::as_const(downloads))
            QTRY_COMPARE(d->state(), TaskSpecification::Running);
        log.clear();

        root->userCanceled();
        QCOMPARE(withoutProgress(log.events()), expected); // all of it inside the call
        QCoreApplication::processEvents();

        QCOMPARE(withoutProgress(log.events()), expected);
        QCOMPARE(broadcasts.size(), expectedBroadcasts);
    }

    void userCanceledBeforeStartIsNotPassedDown()
    {
        Composed* root = makeRoot(1);
        ManualLeaf* a = add<ManualLeaf>(root, u"a"_s, 1.0);
        log.clear();

        root->userCanceled();
        QVERIFY(!a->userCanceledFlag());
        root->execute();
        QTRY_COMPARE(root->state(), TaskSpecification::UserCanceled);

        QCOMPARE(log.events(), (QStringList{u"root started"_s, u"root canceled UserCanceled"_s}));
    }

    void endStateFromSubTasks_data()
    {
        using T = TaskSpecification;
        QTest::addColumn<bool>("userCancel");
        QTest::addColumn<int>("expected");
        QTest::addColumn<int>("endsAs");
        QTest::newRow("user cancel, one running, one unstarted")
                << true << int(T::UserCanceled) << int(T::UserCanceled);
        QTest::newRow("one running, one unstarted")
                << false << int(T::Running) << int(T::ErrorCanceled);
    }

    void endStateFromSubTasks()
    {
        QFETCH(bool, userCancel);
        QFETCH(int, expected);
        QFETCH(int, endsAs);
        Composed* root = makeRoot(2);
        ManualLeaf* a = add<ManualLeaf>(root, u"a"_s, 0.4);
        ManualLeaf* b = add<ManualLeaf>(root, u"b"_s, 0.3);
        ManualLeaf* c = add<ManualLeaf>(root, u"c"_s, 0.3);
        root->execute();
        QTRY_COMPARE(b->state(), TaskSpecification::Running);
        if (userCancel)
            root->userCanceled();
        a->finish(); // the start of c is queued, not delivered yet

        QCOMPARE(c->state(), TaskSpecification::Idle);
        QCOMPARE(root->getStateFromSubTasks(), TaskState(expected));
        root->subtasksDone();
        QCOMPARE(root->state(), TaskState(endsAs));
    }

    void progressIsWeightedSum()
    {
        Composed* root = makeRoot(2, 0.5);
        ManualLeaf* a = add<ManualLeaf>(root, u"a"_s, 0.1);
        ManualLeaf* b = add<ManualLeaf>(root, u"b"_s, 0.9);

        a->setProgress(1.0);
        b->setProgress(0.5);

        // Adding a subtask reports the sum at once; the sum 0.55 is scaled by the root's 0.5.
        QCOMPARE(log.events(), (QStringList{u"root progress 0"_s, u"root progress 0"_s,
                                            u"a progress 0.1"_s, u"root progress 0.05"_s,
                                            u"b progress 0.45"_s, u"root progress 0.275"_s}));
    }

    void timeTickFoldsSubtasks_data()
    {
        using Figures = QList<quint64>; // done, total, speed, downloading
        QTest::addColumn<Figures>("first");
        QTest::addColumn<Figures>("second");
        QTest::addColumn<Figures>("expected");
        QTest::newRow("both sized")
                << Figures{10, 100, 5, 1} << Figures{20, 200, 7, 0} << Figures{30, 300, 12, 1};
        QTest::newRow("unknown size counts only its speed")
                << Figures{10, 0, 5, 1} << Figures{20, 200, 7, 0} << Figures{20, 200, 12, 1};
        QTest::newRow("nothing active")
                << Figures{0, 0, 0, 0} << Figures{20, 200, 0, 0} << Figures{20, 200, 0, 0};
    }

    void timeTickFoldsSubtasks()
    {
        QFETCH(QList<quint64>, first);
        QFETCH(QList<quint64>, second);
        QFETCH(QList<quint64>, expected);
        Composed* root = makeRoot(2);
        add<TickLeaf>(root, u"a"_s, 0.5)->figures = first;
        add<TickLeaf>(root, u"b"_s, 0.5)->figures = second;
        quint64 done = 0;
        quint64 total = 0;
        quint64 speed = 0;
        bool downloading = true; // overwritten, while the counters are added to

        root->timeTick(done, total, speed, downloading);

        QCOMPARE((QList<quint64>{done, total, speed, downloading ? 1u : 0u}), expected);
    }

    void textsPassUpThroughEveryLevel()
    {
        Composed* root = makeRoot(1);
        ManualLeaf* a = add<ManualLeaf>(add<Composed>(root, u"s"_s, 1.0, 1), u"a"_s, 1.0);
        log.clear();

        emit a->message(u"copying"_s);
        emit a->error(u"disk full"_s);

        QCOMPARE(log.events(), (QStringList{u"a message copying"_s, u"s message copying"_s,
                                            u"root message copying"_s, u"a error disk full"_s,
                                            u"s error disk full"_s, u"root error disk full"_s}));
    }

    void resetRearmsForAnotherRun()
    {
        Composed* root = makeRoot(1);
        ManualLeaf* a = add<ManualLeaf>(root, u"a"_s, 0.5);
        ManualLeaf* b = add<ManualLeaf>(root, u"b"_s, 0.5);
        root->execute();
        QTRY_COMPARE(a->state(), TaskSpecification::Running);
        a->errorCancel({Failure::Kind::Disk, u"failed"_s});
        QCOMPARE(root->state(), TaskSpecification::ErrorCanceled);

        root->reset();
        QCOMPARE(a->state(), TaskSpecification::Idle);
        QCOMPARE(root->waitingSubTasks, root->subTasks);
        QVERIFY(root->runningSubTasks.isEmpty() && root->doneSubTasks.isEmpty());
        root->execute();
        QTRY_COMPARE(a->state(), TaskSpecification::Running);
        a->finish();
        QTRY_COMPARE(b->state(), TaskSpecification::Running);
        b->finish();

        QTRY_COMPARE(root->state(), TaskSpecification::Finished);
    }

    // A task that rebuilds its subtasks forgets the last run when reset: its failure, its end, and
    // the starts it had queued.
    void resetForgetsTheLastRun_data()
    {
        QTest::addColumn<bool>("endedBeforeReset");
        QTest::newRow("after a failure") << true;
        QTest::newRow("before its first start was delivered") << false;
    }

    void resetForgetsTheLastRun()
    {
        QFETCH(bool, endedBeforeReset);
        Rebuilding task(&log);
        task.execute();
        if (endedBeforeReset) {
            QTRY_COMPARE(task.running(), 1);
            task.leaves.first()->errorCancel({Failure::Kind::Disk, u"failed"_s});
            QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);
        }
        task.reset();
        log.clear();

        task.execute();
        QTRY_COMPARE(task.running(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(task.running(), 1); // one at a time: no start of the void run arrives
        task.leaves.at(0)->finish();
        QTRY_COMPARE(task.leaves.at(1)->state(), TaskSpecification::Running);
        task.leaves.at(1)->finish();
        QTRY_COMPARE(task.state(), TaskSpecification::Finished);
        QCOMPARE(log.events(), (QStringList{u"a2 started"_s, u"b2 started"_s}));
    }

    void onDemandSubtasksLiveOnlyWhileTheyRun_data()
    {
        QTest::addColumn<int>("maxParallel");
        QTest::addColumn<QStringList>("expected");
        // "alive" counts the subtasks that exist when the next one is made.
        QTest::newRow("one at a time")
                << 1 << QStringList{u"e started"_s,  u"e finished"_s,  u"make d0 alive 0"_s,
                                    u"d0 started"_s, u"d0 finished"_s, u"make d1 alive 0"_s,
                                    u"d1 started"_s, u"d1 finished"_s, u"make d2 alive 0"_s,
                                    u"d2 started"_s, u"d2 finished"_s, u"root finished"_s};
        QTest::newRow("two at a time")
                << 2 << QStringList{u"e started"_s,   u"make d0 alive 1"_s, u"d0 started"_s,
                                    u"e finished"_s,  u"make d1 alive 1"_s, u"d1 started"_s,
                                    u"d0 finished"_s, u"make d2 alive 1"_s, u"d2 started"_s,
                                    u"d1 finished"_s, u"d2 finished"_s,     u"root finished"_s};
    }

    void onDemandSubtasksLiveOnlyWhileTheyRun()
    {
        QFETCH(int, maxParallel);
        QFETCH(QStringList, expected);
        Composed* root = makeRoot(maxParallel);
        ManualLeaf* eager = add<ManualLeaf>(root, u"e"_s, 0.25);
        addOnDemand(root, 3);
        root->execute();
        log.clear();
        QCoreApplication::processEvents();
        eager->finish();
        quint64 done = 0;
        quint64 total = 0;
        quint64 speed = 0;
        bool downloading = false;
        for (const QString& name : {u"d0"_s, u"d1"_s, u"d2"_s}) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
            TickLeaf* leaf = running(root, name);
            QVERIFY2(leaf, qPrintable(name));
            leaf->finish();
        }
        QTRY_COMPARE(root->state(), TaskSpecification::Finished);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        QCOMPARE(withoutProgress(log.events()), expected);
        QCOMPARE(liveTasks, 1); // the root
        QCOMPARE(root->progress(), 1.0);
        // What the let-go leaves moved is still told: their bytes for good, their speed once.
        root->timeTick(done, total, speed, downloading);
        QCOMPARE((QList<quint64>{done, total, speed}), (QList<quint64>{30, 30, 30}));
        done = total = speed = 0;
        root->timeTick(done, total, speed, downloading);
        QCOMPARE((QList<quint64>{done, total, speed}), (QList<quint64>{30, 30, 0}));
    }

    void onDemandSubtasksStopBeingMadeAtAnEnd_data()
    {
        QTest::addColumn<bool>("userCancel");
        QTest::addColumn<QString>("end");
        QTest::newRow("a failure") << false << u"root canceled ErrorCanceled"_s;
        QTest::newRow("a user cancel") << true << u"root canceled UserCanceled"_s;
    }

    void onDemandSubtasksStopBeingMadeAtAnEnd()
    {
        QFETCH(bool, userCancel);
        QFETCH(QString, end);
        Composed* root = makeRoot(2);
        addOnDemand(root, 5);
        root->execute();
        QTRY_VERIFY(running(root, u"d1"_s));
        running(root, u"d0"_s)->finish();
        if (userCancel)
            root->userCanceled();
        else
            running(root, u"d1"_s)->errorCancel({Failure::Kind::Disk, u"failed"_s});
        QCoreApplication::processEvents();
        if (userCancel)
            running(root, u"d1"_s)->finish();
        QTRY_VERIFY(root->state() > TaskSpecification::Running);

        const QStringList events = withoutProgress(log.events());
        QCOMPARE(events.filter(u"make"_s),
                 (QStringList{u"make d0 alive 0"_s, u"make d1 alive 1"_s}));
        QCOMPARE(events.last(), end);
        QCOMPARE(root->getStateFromSubTasks(), root->state());
    }

    void clearSubTasksDisconnectsAndDeletesLater()
    {
        Composed* root = makeRoot(1);
        QPointer<ManualLeaf> a = add<ManualLeaf>(root, u"a"_s, 1.0);
        QSignalSpy rootMessages(root, &TaskSpecification::message);

        root->clearSubTasks();
        QVERIFY(root->subTasks.isEmpty() && root->waitingSubTasks.isEmpty());
        QVERIFY(a); // deleted later, not at once
        emit a->message(u"stale"_s);
        QCOMPARE(rootMessages.size(), 0);

        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!a);
    }
};

QTEST_GUILESS_MAIN(TestComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
