#include "channelstatement.h"

#include <QTest>
#include <QTimeZone>

using namespace Qt::StringLiterals;

namespace {

// Lines 1 to 4; the rows' own lines start at 5.
const QByteArray header = "sonavelle-channels\t1\nclient-type\tclient_linux_amd64\n"
                          "signed\t2026-12-08T08:00:00Z\nexpires\t2026-12-15T08:00:00Z\n";
const QByteArray channels = "channel\tbeta\t1236\nchannel\tstable\t1235\n";

} // namespace

class TestChannelStatement : public QObject
{
    Q_OBJECT

private slots:
    void readsAndWrites();
    void rejects_data();
    void rejects();
};

void TestChannelStatement::readsAndWrites()
{
    ChannelStatement read;
    // Channels in any order, kinds of later formats skipped.
    QVERIFY2(read.parse(QByteArray(header + "channel\tstable\t1235\nrollout\tstable\t1236\t10\n"
                                            "channel\tbeta\t1236\n")),
             qPrintable(read.errorString()));
    QCOMPARE(read.toText(), header + channels);
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
