#include "downloadtestsupport.h"
#include "mirrors.h"
#include "sharedrandom.h"
#include "signallog.h"
#include "usersettings.h"

#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString noMirrorsText = u"There are no (more) known working mirrors available"_s;

QStringList names(const Mirrors& mirrors)
{
    QStringList result;
    for (const FTPSiteAccessData& site : mirrors.list())
        result.append(site.name);
    return result;
}

} // namespace

class TestMirrors : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void readsNamesAndUrls();
    void retries_data();
    void retries();
    void missingFileOrArrayGivesNoMirror();
    void onlyEntriesBelowSizeCount_data();
    void onlyEntriesBelowSizeCount();
    void sectionsBelowOthersHideNothing_data();
    void sectionsBelowOthersHideNothing();
    void readsMirrorsIniOfAnInstallation();
    void alpha_data();
    void alpha();

    void choiceTakesFreeSlotsOnly();
    void choiceIsSpreadOverIdleMirrors();
    void failuresRemoveMirrorAfterRetries_data();
    void failuresRemoveMirrorAfterRetries();
    void duplicateNamesFindTheFirst();
    void emptyListIsReportedOnce();
    void releaseNeverFreesMoreThanOffered();
    void streamsAreSharedOut_data();
    void streamsAreSharedOut();
    void largeFilesNeedConnections();

private:
    void load(const QList<MirrorEntry>& entries, int version = 7);

    QTemporaryDir dir;
    int files = 0;
    std::unique_ptr<Mirrors> mirrors;
    std::unique_ptr<SignalLog> log;
};

void TestMirrors::init()
{
    QVERIFY(dir.isValid());
    mirrors = std::make_unique<Mirrors>();
    log = std::make_unique<SignalLog>();
    log->watch(mirrors.get(), &Mirrors::message,
               [](const QString& text) -> QString { return u"message "_s + text; });
    log->watch(mirrors.get(), &Mirrors::fatalError,
               [](const QString& text) -> QString { return u"fatal "_s + text; });
}

void TestMirrors::load(const QList<MirrorEntry>& entries, int version)
{
    // A fresh name each time: the settings reader caches files by name, size and time.
    const QString path = dir.filePath(u"mirrors%1.ini"_s.arg(++files));
    QVERIFY(writeMirrorsFile(path, entries));
    QVERIFY(mirrors->initDefault(path, version));
}

void TestMirrors::readsNamesAndUrls()
{
    load({{u"a"_s, u"http://a.example/base"_s, {}},
          {u"  "_s, u"http://blank.example"_s, {}},
          {u" b "_s, u"http://b.example/base/"_s, {}},
          {u"c"_s, {}, {}}},
         1234);

    QCOMPARE(names(*mirrors), QStringList({u"a"_s, u"b"_s, u"c"_s}));
    const QList<FTPSiteAccessData>& list = mirrors->list();
    QCOMPARE(list.at(0).url, u"http://a.example/base/1234"_s);
    QCOMPARE(list.at(1).url, u"http://b.example/base/1234"_s);
    QCOMPARE(list.at(2).url, u"/1234"_s);
    for (const FTPSiteAccessData& site : list) {
        QCOMPARE(site.timeout, 15);
        QCOMPARE(site.maxUse, 1);
        QCOMPARE(site.inUse, 0);
        QCOMPARE(site.errors, 0);
    }
    QVERIFY(log->events().isEmpty());
}

void TestMirrors::retries_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("absent") << QString() << 2;
    QTest::newRow("0") << u"0"_s << 2;
    QTest::newRow("-3") << u"-3"_s << 2;
    QTest::newRow("abc") << u"abc"_s << 2;
    QTest::newRow("beyond signed int") << u"3000000000"_s << 2;
    QTest::newRow("1") << u"1"_s << 1;
    QTest::newRow("5") << u"5"_s << 5;
}

void TestMirrors::retries()
{
    QFETCH(QString, value);
    QFETCH(int, expected);
    load({{u"m"_s, u"http://m.example"_s, value}});
    QCOMPARE(mirrors->list().at(0).retries, expected);
}

void TestMirrors::missingFileOrArrayGivesNoMirror()
{
    QVERIFY(mirrors->initDefault(dir.filePath(u"absent.ini"_s), 7));
    QFile file(dir.filePath(u"nosize.ini"_s));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[mirrors]\n1\\mirror=a\n[a]\nurl=http://a.example\n");
    file.close();
    QVERIFY(mirrors->initDefault(file.fileName(), 7));
    QVERIFY(mirrors->list().isEmpty());
    QVERIFY(log->events().isEmpty());
}

void TestMirrors::onlyEntriesBelowSizeCount_data()
{
    QTest::addColumn<QByteArray>("array");
    QTest::addColumn<QStringList>("expected");
    // Reading must not walk two billion empty entries (that took hours).
    QTest::newRow("largest size") << "size=2147483647\n3\\mirror=c\n1\\mirror=a\n"
                                     "2147483647\\mirror=last\n"_ba
                                  << QStringList{u"a"_s, u"c"_s, u"last"_s};
    QTest::newRow("entry beyond size")
            << "size=2\n1\\mirror=a\n3\\mirror=c\n"_ba << QStringList{u"a"_s};
    QTest::newRow("negative size") << "size=-1\n1\\mirror=a\n"_ba << QStringList{};
}

void TestMirrors::onlyEntriesBelowSizeCount()
{
    QFETCH(QByteArray, array);
    QFETCH(QStringList, expected);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    QFile file(dir.filePath(u"mirrors-%1.ini"_s.arg(tag)));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[mirrors]\n" + array);
    file.close();
    QVERIFY(mirrors->initDefault(file.fileName(), 7));
    QCOMPARE(names(*mirrors), expected);
}

void TestMirrors::sectionsBelowOthersHideNothing_data()
{
    QTest::addColumn<QByteArray>("ini");
    const QByteArray mirrors = "[mirrors]\nsize=2\n1\\mirror=dl\n2\\mirror=dl/eu\n"_ba;
    const QByteArray sections =
            "[dl]\nurl=http://dl.example/\n[dl/eu]\nurl=http://eu.example/\n"_ba;
    // The settings reader used to miss "[mirrors]" (no mirror at all) or "[dl]" (no URL) while
    // the section below it was unread.
    QTest::newRow("below a mirror's section") << mirrors + sections;
    QTest::newRow("below the mirrors array") << mirrors + "[mirrors/extra]\nnote=x\n" + sections;
}

void TestMirrors::sectionsBelowOthersHideNothing()
{
    QFETCH(QByteArray, ini);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    QFile file(dir.filePath(u"nested-%1.ini"_s.arg(tag)));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ini);
    file.close();
    QVERIFY(mirrors->initDefault(file.fileName(), 7));
    QCOMPARE(names(*mirrors), (QStringList{u"dl"_s, u"dl/eu"_s}));
    QCOMPARE(mirrors->list().at(0).url, u"http://dl.example/7"_s);
    QCOMPARE(mirrors->list().at(1).url, u"http://eu.example/7"_s);
}

void TestMirrors::readsMirrorsIniOfAnInstallation()
{
    QVERIFY(writeMirrorsFile(dir.filePath(u"mirrors.ini"_s),
                             {{u"root"_s, u"http://root.example"_s, {}}}));
    QVERIFY(mirrors->initDefault(InstallationLayout(dir.path()).filePath(MirrorsIni::fileName()),
                                 3));
    QCOMPARE(names(*mirrors), QStringList{u"root"_s});
    QCOMPARE(mirrors->list().at(0).url, u"http://root.example/3"_s);
}

void TestMirrors::alpha_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QString>("expectedUrl");
    QTest::newRow("without slash") << QByteArray("[Channel]\nalpha=http://alpha.example/a\n")
                                   << u"http://alpha.example/a/1234"_s;
    QTest::newRow("with slash") << QByteArray("[Channel]\nalpha=http://alpha.example/a/\n")
                                << u"http://alpha.example/a/1234"_s;
    QTest::newRow("empty") << QByteArray("[Channel]\nalpha=\n") << QString();
    QTest::newRow("absent") << QByteArray("[Channel]\nbeta=x\n") << QString();
}

void TestMirrors::alpha()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(QString, expectedUrl);
    QFile file(dir.filePath(u"update%1.ini"_s.arg(++files)));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(updateIni);
    file.close();

    const bool ok = mirrors->initAlpha(file.fileName(), 1234);

    QCOMPARE(ok, !expectedUrl.isEmpty());
    if (!ok) {
        QCOMPARE(
                log->events(),
                QStringList{
                        u"fatal Alpha parameter in channel section in update ini file not found"_s});
        QVERIFY(mirrors->list().isEmpty());
        return;
    }
    QCOMPARE(names(*mirrors), QStringList{u"Alpha Channel"_s});
    const FTPSiteAccessData& site = mirrors->list().at(0);
    QCOMPARE(site.url, expectedUrl);
    QCOMPARE(site.retries, 4);
    QCOMPARE(site.timeout, 15);
    QCOMPARE(site.maxUse, 1);
}

void TestMirrors::choiceTakesFreeSlotsOnly()
{
    load({{u"a"_s, u"http://a"_s, {}}, {u"b"_s, u"http://b"_s, {}}, {u"c"_s, u"http://c"_s, {}}});
    QSet<QString> chosen;
    for (int i = 0; i < 3; ++i) {
        FTPSiteAccessData site;
        QCOMPARE(mirrors->getRandomMirror(site), Mirrors::Chosen);
        QCOMPARE(site.inUse, 1);
        chosen.insert(site.name);
    }
    QCOMPARE(chosen.size(), 3);
    for (const FTPSiteAccessData& site : mirrors->list()) {
        QCOMPARE(site.maxUse, 1);
        QCOMPARE(site.inUse, 1);
    }

    FTPSiteAccessData site;
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::AllSlotsBusy);
    mirrors->releaseMirror(u"b"_s);
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::Chosen);
    QCOMPARE(site.name, u"b"_s);
    QCOMPARE(site.url, u"http://b/7"_s);
    QVERIFY(log->events().isEmpty());
}

void TestMirrors::choiceIsSpreadOverIdleMirrors()
{
    load({{u"a"_s, u"http://a"_s, {}}, {u"b"_s, u"http://b"_s, {}}, {u"c"_s, u"http://c"_s, {}}});
    FTPSiteAccessData busy;
    QCOMPARE(mirrors->getRandomMirror(busy), Mirrors::Chosen);

    SharedRandom::seed(42);
    QHash<QString, int> counts;
    for (int i = 0; i < 600; ++i) {
        FTPSiteAccessData site;
        QCOMPARE(mirrors->getRandomMirror(site), Mirrors::Chosen);
        QVERIFY(site.name != busy.name);
        ++counts[site.name];
        mirrors->releaseMirror(site.name);
    }
    QCOMPARE(counts.size(), 2);
    for (const int count : std::as_const(counts))
        QVERIFY2(count > 200, qPrintable(QString::number(count)));
}

void TestMirrors::failuresRemoveMirrorAfterRetries_data()
{
    QTest::addColumn<QString>("retries");
    QTest::addColumn<int>("failuresToRemoval");
    QTest::newRow("default") << QString() << 3;
    QTest::newRow("1") << u"1"_s << 2;
}

void TestMirrors::failuresRemoveMirrorAfterRetries()
{
    QFETCH(QString, retries);
    QFETCH(int, failuresToRemoval);
    load({{u"a"_s, u"http://a"_s, retries}, {u"b"_s, u"http://b"_s, {}}});
    FTPSiteAccessData site;
    for (int i = 1; i < failuresToRemoval; ++i) {
        mirrors->addMirrorError(u"a"_s);
        QCOMPARE(mirrors->list().at(0).errors, i);
    }
    QVERIFY(log->events().isEmpty());
    mirrors->addMirrorError(u"a"_s);
    QCOMPARE(log->take(), QStringList{u"message Mirror a failed too many times, removing"_s});
    QCOMPARE(names(*mirrors), QStringList{u"b"_s});

    // Gone with its bookkeeping: nothing of it can be released, failed or removed again.
    mirrors->releaseMirror(u"a"_s);
    mirrors->addMirrorError(u"a"_s);
    mirrors->removeMirror(u"a"_s);
    QCOMPARE(mirrors->getMirrorIndex(u"a"_s), -1);
    QCOMPARE(names(*mirrors), QStringList{u"b"_s});
    QVERIFY(log->events().isEmpty());
}

void TestMirrors::duplicateNamesFindTheFirst()
{
    load({{u"d"_s, u"http://d"_s, u"1"_s},
          {u"e"_s, u"http://e"_s, {}},
          {u"d"_s, u"http://d"_s, {}}});
    QCOMPARE(names(*mirrors), QStringList({u"d"_s, u"e"_s, u"d"_s}));
    QCOMPARE(mirrors->getMirrorIndex(u"d"_s), 0);
    QCOMPARE(mirrors->getMirrorIndex(u"D"_s), -1);

    FTPSiteAccessData site;
    while (mirrors->getRandomMirror(site) == Mirrors::Chosen) {
    }
    mirrors->releaseMirror(u"d"_s);
    QCOMPARE(mirrors->list().at(0).inUse, 0);
    QCOMPARE(mirrors->list().at(2).inUse, 1);

    mirrors->addMirrorError(u"d"_s);
    QCOMPARE(mirrors->list().at(0).errors, 1);
    QCOMPARE(mirrors->list().at(2).errors, 0);
    mirrors->removeMirror(u"d"_s);
    QCOMPARE(names(*mirrors), QStringList({u"e"_s, u"d"_s}));
    QCOMPARE(mirrors->list().at(1).inUse, 1);
}

void TestMirrors::emptyListIsReportedOnce()
{
    load({{u"a"_s, u"http://a"_s, {}}});
    mirrors->removeMirror(u"a"_s);
    FTPSiteAccessData site;
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::NoMirrorLeft);
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::NoMirrorLeft);
    QCOMPARE(log->events(), QStringList{u"message "_s + noMirrorsText});
}

void TestMirrors::releaseNeverFreesMoreThanOffered()
{
    load({{u"a"_s, u"http://a"_s, {}}});
    FTPSiteAccessData site;
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::Chosen);
    mirrors->releaseMirror(u"a"_s);
    mirrors->releaseMirror(u"a"_s);
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::Chosen);
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::AllSlotsBusy);
}

QTEST_GUILESS_MAIN(TestMirrors)
#include "tst_mirrors.moc"

void TestMirrors::streamsAreSharedOut_data()
{
    QTest::addColumn<QByteArrayList>("sections"); // one per mirror, named a, b, c, ...
    QTest::addColumn<int>("streams");             // 0: no "streams" key, which then is the default
    QTest::addColumn<bool>("proxy");
    QTest::addColumn<QList<int>>("shares");
    QTest::addColumn<QList<int>>("sharesWithoutA");
    const QByteArray h2 = "http2=true\n";
    QTest::newRow("six over three")
            << QByteArrayList{{}, {}, {}} << 6 << false << QList<int>{2, 2, 2} << QList<int>{3, 3};
    QTest::newRow("uneven") << QByteArrayList{{}, {}, {}} << 7 << false << QList<int>{3, 2, 2}
                            << QList<int>{4, 3};
    QTest::newRow("fewer streams than mirrors")
            << QByteArrayList{{}, {}, {}} << 2 << false << QList<int>{1, 1, 1} << QList<int>{1, 1};
    QTest::newRow("HTTP/1.1 caps at six")
            << QByteArrayList{{}, {}} << 64 << false << QList<int>{6, 6} << QList<int>{6};
    QTest::newRow("HTTP/2 takes the rest") << QByteArrayList{{}, h2, h2} << 64 << false
                                           << QList<int>{6, 29, 29} << QList<int>{32, 32};
    QTest::newRow("HTTP/2 caps at a hundred")
            << QByteArrayList{h2} << 1000 << false << QList<int>{100} << QList<int>{};
    QTest::newRow("slots kept, the rest shared")
            << QByteArrayList{"slots=4\n", {}, {}} << 10 << false << QList<int>{4, 3, 3}
            << QList<int>{5, 5};
    QTest::newRow("slots beyond the protocol's limit")
            << QByteArrayList{"slots=50\n", "slots=50\n" + h2} << 6 << false << QList<int>{6, 50}
            << QList<int>{50};
    QTest::newRow("unreadable slots") << QByteArrayList{"slots=-2\n", "slots=x\n"} << 4 << false
                                      << QList<int>{2, 2} << QList<int>{4};
    QTest::newRow("plain http through a proxy is HTTP/1.1")
            << QByteArrayList{h2, h2} << 64 << true << QList<int>{6, 6} << QList<int>{6};
    QTest::newRow("no streams key: HTTP/2 takes what one connection carries")
            << QByteArrayList{{}, h2, "slots=4\n" + h2} << 0 << false << QList<int>{6, 100, 4}
            << QList<int>{100, 4};
    QTest::newRow("no streams key, through a proxy")
            << QByteArrayList{h2, h2} << 0 << true << QList<int>{3, 3} << QList<int>{6};
}

void TestMirrors::streamsAreSharedOut()
{
    QFETCH(QByteArrayList, sections);
    QFETCH(int, streams);
    QFETCH(bool, proxy);
    QFETCH(QList<int>, shares);
    QFETCH(QList<int>, sharesWithoutA);
    QList<MirrorEntry> entries;
    for (qsizetype i = 0; i < sections.size(); ++i) {
        const QString name(QChar(char16_t(u'a' + i)));
        entries.append({name, u"http://"_s + name, {}, sections.at(i)});
    }
    load(entries);
    if (streams == 0)
        mirrors->shareSlots(UserSettings::defaultStreams, proxy, true);
    else
        mirrors->shareSlots(streams, proxy);
    const auto maxUse = [this] {
        QList<int> found;
        for (const FTPSiteAccessData& site : mirrors->list())
            found.append(site.maxUse);
        return found;
    };
    QCOMPARE(maxUse(), shares);
    mirrors->removeMirror(u"a"_s);
    QCOMPARE(maxUse(), sharesWithoutA);
}

void TestMirrors::largeFilesNeedConnections()
{
    load({{u"a"_s, u"http://a"_s, {}, "http2=true\n"}});
    mirrors->shareSlots(10);
    FTPSiteAccessData site;
    for (int i = 0; i < Mirrors::http1SlotLimit; ++i)
        QCOMPARE(mirrors->getRandomMirror(site), Mirrors::Chosen);
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::AllSlotsBusy);
    for (int i = Mirrors::http1SlotLimit; i < 10; ++i)
        QCOMPARE(mirrors->getRandomMirror(site, true), Mirrors::Chosen);
    QCOMPARE(mirrors->getRandomMirror(site, true), Mirrors::AllSlotsBusy);
    // A stream given back frees no connection.
    mirrors->releaseMirror(u"a"_s, true);
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::AllSlotsBusy);
    mirrors->releaseMirror(u"a"_s);
    QCOMPARE(mirrors->getRandomMirror(site), Mirrors::Chosen);
}
