// The verdict on a watched first start, row by row over how it ended.
#include "probationverdict.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using End = StartOutcome::End;

class TestProbationVerdict : public QObject
{
    Q_OBJECT

private slots:
    void judges_data()
    {
        QTest::addColumn<int>("end");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("milliseconds");
        QTest::addColumn<bool>("good");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char* name, End end, int code, int ms, bool good,
                            const QString& reason) {
            QTest::newRow(name) << int(end) << code << ms << good << reason;
        };
        row("still running", End::Running, 0, 30000, true,
            u"Version 1236 was still running after 30.0 s"_s);
        row("ended well", End::Exited, 0, 1200, true,
            u"Version 1236 ended after 1.2 s with status 0"_s);
        row("ended with status 1", End::Exited, 1, 400, false,
            u"Version 1236 ended after 0.4 s with status 1"_s);
        row("crashed", End::Signaled, 11, 400, false,
            u"Version 1236 ended after 0.4 s with signal 11"_s);
        row("no script", End::NotStarted, 0, 0, false,
            u"Version 1236 could not be started: No such file or directory"_s);
    }
    void judges()
    {
        QFETCH(int, end);
        QFETCH(int, code);
        QFETCH(int, milliseconds);
        const StartOutcome outcome{End(end), code, std::chrono::milliseconds(milliseconds),
                                   u"No such file or directory"_s};
        const ProbationVerdict verdict = ProbationVerdict::judge(outcome, 1236);
        QTEST(verdict.good, "good");
        QTEST(verdict.reason, "reason");
    }
};

QTEST_GUILESS_MAIN(TestProbationVerdict)
#include "tst_probationverdict.moc"
