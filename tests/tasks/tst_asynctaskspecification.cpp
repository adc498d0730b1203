#include "asynctaskspecification.h"
#include "signallog.h"
#include "workpool.h"

#include <QScopeGuard>
#include <QSemaphore>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

// What a body does, step by step: "message <text>", "progress <fraction>", or "reason <text>"
// for the text of its failure.
struct Script
{
    QStringList steps;
    bool result = true;
    QSemaphore* gate = nullptr; // when set, the body waits for it first
};

class ScriptedFunc : public ASyncAction
{

public:
    static inline std::atomic<int> alive = 0;
    static inline std::atomic<QThread*> deletedOn = nullptr;

    explicit ScriptedFunc(Script script)
        : script(std::move(script))
    {
        ++alive;
    }
    ~ScriptedFunc() override
    {
        deletedOn = QThread::currentThread();
        --alive;
    }

    Failure run() override
    {
        if (script.gate != nullptr)
            script.gate->acquire();
        QString reason = u"scripted failure"_s;
        for (const QString& step : script.steps) {
            const QString arg = step.section(u' ', 1);
            if (step.startsWith(u"message"))
                emit message(arg);
            else if (step.startsWith(u"reason"))
                reason = arg;
            else
                emit progress(arg.toDouble());
        }
        return script.result ? Failure() : Failure{Failure::Kind::Disk, reason};
    }

private:
    const Script script;
};

class ScriptedTask : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    ScriptedTask(Script script, double weight)
        : ASyncTaskSpecification(nullptr, weight)
        , script(std::move(script))
    {}

    QList<bool> results; // every result that reached runDone()

protected:
    std::unique_ptr<ASyncFunc> createFunction() override
    {
        return std::make_unique<ScriptedFunc>(script);
    }
    void runDone(const Failure& failure) override
    {
        results.append(!failure.failed());
        ASyncTaskSpecification::runDone(failure);
    }

private:
    const Script script;
};

} // namespace

class TestASyncTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        WorkPool::instance()->waitForDone();
        QCOMPARE(ScriptedFunc::alive.load(), 0);
    }

    void bodySignalsArriveInOrder_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("reason");
        QTest::newRow("success") << QStringList{u"message one"_s, u"message two"_s,
                                                u"progress 0.5"_s}
                                 << true
                                 << QStringList{u"t message one"_s, u"t message two"_s,
                                                u"t progress 0.2"_s, u"t progress 0.4"_s,
                                                u"t finished"_s}
                                 << QString();
        QTest::newRow("failure") << QStringList{u"message cannot read x"_s} << false
                                 << QStringList{u"t message cannot read x"_s,
                                                u"t canceled ErrorCanceled"_s}
                                 << u"scripted failure"_s;
        QTest::newRow("failure with its reason")
                << QStringList{u"reason bad signature"_s} << false
                << QStringList{u"t canceled ErrorCanceled"_s} << u"bad signature"_s;
    }

    void bodySignalsArriveInOrder()
    {
        QFETCH(QStringList, steps);
        QFETCH(bool, result);
        QFETCH(QStringList, expected);
        QFETCH(QString, reason);
        ScriptedTask task(Script{steps, result}, 0.4);
        SignalLog log;
        log.watchTask(&task, u"t"_s);

        task.execute();
        QCOMPARE(task.state(), TaskSpecification::Running);
        QCOMPARE(log.events(), QStringList{}); // everything comes through the event loop
        QTRY_VERIFY(task.state() != TaskSpecification::Running);
        WorkPool::instance()->waitForDone();
        QCoreApplication::processEvents();

        QCOMPARE(log.events(), expected);
        QCOMPARE(task.failure().text, reason);
        // The pool deleted the body, on its own thread.
        QCOMPARE(ScriptedFunc::alive.load(), 0);
        QVERIFY(ScriptedFunc::deletedOn.load() != QThread::currentThread());
    }

    void userCancelLetsBodyDecide_data()
    {
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("endState");
        QTest::newRow("body succeeds") << true << int(TaskSpecification::Finished);
        QTest::newRow("body fails") << false << int(TaskSpecification::ErrorCanceled);
    }

    void userCancelLetsBodyDecide()
    {
        QFETCH(bool, result);
        QFETCH(int, endState);
        QSemaphore gate;
        // Never leave a body blocked on a semaphore that is about to go away.
        auto openGate = qScopeGuard([&] {
            gate.release();
            WorkPool::instance()->waitForDone();
        });
        ScriptedTask task(Script{{}, result, &gate}, 1.0);
        task.execute();

        task.userCanceled();
        QCOMPARE(task.state(), TaskSpecification::Running);
        gate.release();

        QTRY_COMPARE(task.state(), TaskState(endState));
    }

    // A reset does not wait for the body; a start after it waits for that body to report, and
    // only the new body's result ends the task.
    void resetDropsTheRunningBodysResult()
    {
        QSemaphore gate;
        auto openGate = qScopeGuard([&] {
            gate.release(2);
            WorkPool::instance()->waitForDone();
        });
        ScriptedTask task(Script{{}, true, &gate}, 1.0);
        SignalLog log;
        log.watchTask(&task, u"t"_s);
        task.execute();
        task.reset();
        QCOMPARE(task.state(), TaskSpecification::Idle);
        task.execute();
        QCOMPARE(ScriptedFunc::alive.load(), 1);

        gate.release(2);
        QTRY_COMPARE(task.state(), TaskSpecification::Finished);
        QCOMPARE(task.results, QList<bool>{true});
        QCOMPARE(log.events(),
                 (QStringList{u"t progress 0"_s, u"t progress 1"_s, u"t finished"_s}));
    }
};

QTEST_GUILESS_MAIN(TestASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
