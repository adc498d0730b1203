// The choice of a run's version, row by row over its inputs.
#include "versiondecision.h"

#include <QTest>
#include <QTimeZone>

using namespace Qt::StringLiterals;

namespace {

// Signed on the 8th, expires on the 15th: stable on 7, 8 rolling out to 30 %, 9 withdrawn to 7.
const QByteArray statementText = "sonavelle-channels\t1\nclient-type\tclient_linux_amd64\n"
                                 "signed\t2026-12-08T08:00:00Z\nexpires\t2026-12-15T08:00:00Z\n"
                                 "channel\tstable\t7\n"
                                 "rollout\tstable\t8\t3000\topen\nwithdrawn\tstable\t9\t7\n";

enum Statements { None, Fresh, Kept, FreshBetaOnly };
enum Records { Unseen, Seen, Required };

std::optional<ChannelStatement> parsed(const QByteArray& text)
{
    ChannelStatement statement;
    if (!statement.parse(text))
        return {};
    return statement;
}

struct Row
{
    VersionOrigin origin;
    int offered;
    bool userStarted;
    Statements statements;
    Records records;
    bool expired;
    int installed;
    int bucket;
    int version;  // 0: refused
    QString line; // in the log, the notices or the refusal
    int refused;  // the version that failed its first start here
};

} // namespace

Q_DECLARE_METATYPE(Row)

class TestVersionDecision : public QObject
{
    Q_OBJECT

private slots:
    void decides_data();
    void decides();
};

void TestVersionDecision::decides_data()
{
    QTest::addColumn<Row>("row");
    const auto row = [](const char* name, VersionOrigin origin, int offered, bool userStarted,
                        Statements statements, Records records, bool expired, int installed,
                        int bucket, int version, const QString& line, int refused = 0) {
        QTest::newRow(name) << Row{origin,    offered, userStarted, statements, records, expired,
                                   installed, bucket,  version,     line,       refused};
    };
    using O = VersionOrigin;
    row("named older version", O::Named, 3, true, Fresh, Seen, false, 9, 0, 3, {});
    row("no statement, downgrade", O::Server, 4, false, None, Unseen, false, 5, 0, 0,
        u"Not installing version 4 that the update server announces: version 5 is installed"_s);
    row("no statement, server alone", O::Server, 6, false, None, Unseen, false, 5, 0, 6,
        u"No channel statement (2 mirrors published none); the update server alone"_s);
    row("statement over server", O::Server, 6, false, Fresh, Unseen, false, 5, 9000, 7,
        u"The update server announces version 6, the signed channel statement 7: installing 7"_s);
    row("client names a withdrawn version", O::Client, 9, false, Fresh, Seen, false, 7, 9000, 7,
        u"The client names version 9, the signed channel statement 7: installing 7"_s);
    row("client version downgrade", O::Client, 4, false, None, Unseen, false, 5, 0, 0,
        u"Not installing version 4 that the client names: version 5 is installed"_s);
    row("withdrawn goes back", O::Server, 9, false, Fresh, Seen, false, 9, 0, 7,
        u"Version 9 was withdrawn: going back to version 7"_s);
    row("bucket inside the rollout", O::Client, 7, false, Fresh, Seen, false, 7, 2999, 8, {});
    row("early", O::Server, 7, true, Fresh, Seen, false, 7, 3000, 8,
        u"Early update: this version is still being rolled out"_s);
    row("expired: no rollout", O::Server, 7, false, Fresh, Seen, true, 6, 0, 7,
        u"Warning: the update channels were last confirmed on 2026-12-08 08:00 UTC"_s);
    row("expired: not early", O::Server, 8, true, Fresh, Seen, true, 7, 9000, 7, {});
    row("expired: keeps the rollout", O::Server, 8, false, Fresh, Seen, true, 8, 9000, 8, {});
    row("expired: still withdraws", O::Server, 9, false, Fresh, Seen, true, 9, 0, 7,
        u"Version 9 was withdrawn: going back to version 7"_s);
    row("statement downgrade", O::Server, 7, false, Fresh, Seen, false, 10, 9000, 0,
        u"Not installing version 7 that the signed channel statement names: version 10 is "
        u"installed"_s);
    row("none now: the last accepted allows", O::Server, 12, false, Kept, Seen, false, 5, 100, 8,
        u"The update channels could not be confirmed (2 mirrors published none): installing "
        u"version 8, which the last accepted statement allows"_s);
    row("none now: staying", O::Client, 12, false, Kept, Seen, false, 7, 9000, 7,
        u"The update channels could not be confirmed (2 mirrors published none): staying on "
        u"version 7"_s);
    row("none now: no early update", O::Server, 8, true, Kept, Seen, false, 7, 9000, 7, {});
    row("none now: seen, nothing kept", O::Server, 8, false, None, Seen, false, 7, 0, 0,
        u"could not be confirmed (2 mirrors published none): staying on version 7"_s);
    row("none ever, required", O::Server, 8, true, None, Required, false, 0, 0, 0,
        u"staying on the installed version"_s);
    row("statement without the channel", O::Server, 8, false, FreshBetaOnly, Required, false, 7, 0,
        0, u"(the channel statement names no version for channel stable)"_s);
    row("failed its start here", O::Client, 8, false, Fresh, Seen, false, 7, 0, 0,
        u"Not installing version 8: it failed its first start here"_s, 8);
    row("failed its start, server alone", O::Server, 6, false, None, Unseen, false, 5, 0, 0,
        u"it failed its first start here"_s, 6);
    row("failed its start, a newer one", O::Server, 7, false, None, Unseen, false, 5, 0, 7, {}, 6);
    row("failed its start, withdrawn to it", O::Server, 9, false, Fresh, Seen, false, 9, 0, 7,
        u"Version 9 was withdrawn: going back to version 7"_s, 7);
    row("failed its start, named", O::Named, 8, true, Fresh, Seen, false, 7, 0, 8, {}, 8);
}

void TestVersionDecision::decides()
{
    QFETCH(Row, row);
    VersionQuestion question;
    question.origin = row.origin;
    question.offered = row.offered;
    question.userStarted = row.userStarted;
    question.readsStatements = true;
    if (row.statements == Fresh)
        question.statement = parsed(statementText);
    else if (row.statements == FreshBetaOnly)
        question.statement = parsed(QByteArray(statementText).replace("stable", "beta"));
    else
        question.noStatementReason = u"2 mirrors published none"_s;
    if (row.statements == Kept)
        question.lastAccepted = parsed(statementText);
    question.statementSeen = row.records != Unseen;
    question.statementRequired = row.records == Required;
    question.installed = row.installed;
    question.bucket = row.bucket;
    question.refused = row.refused;
    question.now = QDateTime(QDate(2026, 12, row.expired ? 20 : 10), QTime(8, 0), QTimeZone::utc());

    const VersionDecision decision = VersionDecision::decide(question);
    QCOMPARE(decision.version, row.version);
    QCOMPARE(decision.refusal.isEmpty(), decision.installs());
    QStringList lines = decision.logLines;
    lines << decision.refusal;
    for (const VersionNotice& notice : decision.notices)
        lines << notice.english();
    const QString all = lines.join(u'\n');
    QVERIFY2(all.contains(row.line), qPrintable(all));
}

QTEST_GUILESS_MAIN(TestVersionDecision)
#include "tst_versiondecision.moc"
