#include "channelstatement.h"

#include <QTest>
#include <QTimeZone>

using namespace Qt::StringLiterals;

namespace {

// Lines 1 to 4; the rows' own lines start at 5.
const QByteArray header = "sonavelle-channels\t1\nclient-type\tclient_linux_amd64\n"
                          "signed\t2026-12-08T08:00:00Z\nexpires\t2026-12-15T08:00:00Z\n";
const QByteArray channels = "channel\tbeta\t1236\nchannel\tstable\t1235\n";
const QByteArray staged = "rollout\tstable\t1237\t3000\topen\nwithdrawn\tbeta\t1238\t1236\n";

} // namespace

class TestChannelStatement : public QObject
{
    Q_OBJECT

private slots:
    void readsAndWrites();
    void rejects_data();
    void rejects();
    void chooses_data();
    void chooses();
};

void TestChannelStatement::readsAndWrites()
{
    ChannelStatement read;
    // Channels in any order, kinds of later formats skipped.
    QVERIFY2(read.parse(QByteArray(header + "withdrawn\tbeta\t1238\t1236\nchannel\tstable\t1235\n"
                                            "later\tstable\t1236\t10\nchannel\tbeta\t1236\n"
                                            "rollout\tstable\t1237\t3000\topen\n")),
             qPrintable(read.errorString()));
    QCOMPARE(read.toText(), header + channels + staged);
    QCOMPARE(read.version(u"stable"_s), 1235);
    QCOMPARE(read.version(u"alpha"_s), 0);
    const QDateTime expiry(QDate(2026, 12, 15), QTime(8, 0), QTimeZone::utc());
    QVERIFY(!read.hasExpired(expiry.addSecs(-1)));
    QVERIFY(read.hasExpired(expiry));

    ChannelStatement built;
    built.setClientType(u"client_linux_amd64"_s);
    built.setSignedAt(expiry.addDays(-7).addMSecs(300)); // whole seconds only
    built.setExpires(expiry);
    built.setVersion(u"stable"_s, 1235);
    built.setVersion(u"beta"_s, 1236);
    built.setRollout(u"stable"_s, {1237, 3000, false});
    built.setWithdrawn(u"beta"_s, 1238, 1236);
    QVERIFY(built == read);
}

void TestChannelStatement::rejects_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");
    const auto row = [](const char* name, const QByteArray& text, const QString& error) {
        QTest::newRow(name) << text << error;
    };
    row("empty", {}, u"the channel statement is empty"_s);
    row("a manifest", "sonavelle-release-manifest\t1\n", u"line 1: not a channel statement"_s);
    row("newer format", QByteArray(header).replace("\t1\n", "\t2\n") + channels,
        u"line 1: channel statement format 2 is newer than this updater reads (1)"_s);
    row("no channel", header, u"no channel record"_s);
    row("channel twice", header + channels + "channel\tbeta\t1237\n",
        u"line 7: channel 'beta' is listed twice"_s);
    row("channel name", header + "channel\tStable\t1\n",
        u"line 5: the channel name 'Stable' is not up to 32 lower-case letters, digits and '-'"_s);
    row("version zero", header + "channel\tbeta\t0\n",
        u"line 5: the version '0' is out of range (1 to 2147483647)"_s);
    row("local time", QByteArray(header).replace("15T08:00:00Z", "15T08:00:00") + channels,
        u"line 4: the expires '2026-12-15T08:00:00' is not a UTC time like "
        u"2026-12-07T21:00:00Z"_s);
    row("expires first", QByteArray(header).replace("2026-12-15", "2026-12-08") + channels,
        u"it expires (2026-12-08T08:00:00Z) no later than it was signed (2026-12-08T08:00:00Z)"_s);
    row("client type", QByteArray(header).replace("client_linux", "a/b") + channels,
        u"line 2: the client type 'a/b_amd64' is empty or contains '/', '\\' or a control "
        u"character"_s);
    row("share of all", header + channels + "rollout\tstable\t1237\t10000\topen\n",
        u"line 7: the share '10000' is out of range (1 to 9999)"_s);
    row("rollout state", header + channels + "rollout\tstable\t1237\t10\tpaused\n",
        u"line 7: the rollout state 'paused' is neither 'open' nor 'halted'"_s);
    row("rollout of an older version", header + channels + "rollout\tstable\t1235\t10\topen\n",
        u"channel 'stable' rolls out version 1235, which is not newer than its version 1235"_s);
    row("rollout without a channel", header + channels + "rollout\talpha\t1237\t10\topen\n",
        u"channel 'alpha' has a rollout but no channel record"_s);
    row("withdrawn to a newer version", header + channels + "withdrawn\tbeta\t1237\t1238\n",
        u"line 7: withdrawn version 1237 sends its installations to 1238, which is not older"_s);
    row("the channel's own version withdrawn", header + channels + "withdrawn\tbeta\t1236\t1\n",
        u"channel 'beta' withdraws its own version 1236"_s);
    row("rollout of a withdrawn version",
        header + channels + "rollout\tstable\t1237\t10\topen\nwithdrawn\tstable\t1237\t1235\n",
        u"channel 'stable' rolls out version 1237, which is withdrawn"_s);
}

void TestChannelStatement::chooses_data()
{
    QTest::addColumn<QByteArray>("records"); // after stable's 1235
    QTest::addColumn<int>("installed");
    QTest::addColumn<int>("bucket");
    QTest::addColumn<bool>("early");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("reason");
    using Reason = ChannelStatement::Choice::Reason;
    const auto row = [](const char* name, const QByteArray& records, int installed, int bucket,
                        bool early, int version, Reason reason) {
        QTest::newRow(name) << records << installed << bucket << early << version << int(reason);
    };
    const QByteArray open = "rollout\tstable\t1237\t3000\topen\n";
    const QByteArray halted = "rollout\tstable\t1237\t3000\thalted\n";
    row("no rollout", {}, 1234, 0, true, 1235, Reason::Channel);
    row("last bucket inside", open, 1235, 2999, false, 1237, Reason::Rollout);
    row("first bucket outside", open, 1235, 3000, false, 1235, Reason::Channel);
    row("outside, asked for", open, 1235, 3000, true, 1237, Reason::Early);
    row("halted, inside", halted, 1235, 0, true, 1235, Reason::Channel);
    row("halted, has it", halted, 1237, 9999, false, 1237, Reason::Kept);
    row("withdrawn", "withdrawn\tstable\t1237\t1234\n", 1237, 0, false, 1234, Reason::Withdrawn);
    row("withdrawn, the channel moved on", "withdrawn\tstable\t1234\t1233\n", 1234, 0, false, 1235,
        Reason::Channel);
}

void TestChannelStatement::chooses()
{
    QFETCH(QByteArray, records);
    QFETCH(int, installed);
    QFETCH(int, bucket);
    QFETCH(bool, early);
    QFETCH(int, version);
    QFETCH(int, reason);
    ChannelStatement statement;
    QVERIFY2(statement.parse(QByteArray(header + "channel\tstable\t1235\n" + records)),
             qPrintable(statement.errorString()));
    const ChannelStatement::Choice choice = statement.choose(u"stable"_s, installed, bucket, early);
    QCOMPARE(choice.version, version);
    QCOMPARE(int(choice.reason), reason);
}

void TestChannelStatement::rejects()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    ChannelStatement statement;
    QVERIFY(!statement.parse(text));
    QCOMPARE(statement.errorString(), error);
    QVERIFY(statement == ChannelStatement());
}

QTEST_GUILESS_MAIN(TestChannelStatement)
#include "tst_channelstatement.moc"
