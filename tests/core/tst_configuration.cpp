#include "configuration.h"
#include "configuration_p.h"
#include "installationlayout.h"
#include "modalboxanswerer.h"
#include "sessionlayout.h"
#include "udpresponder.h"
#include "usersettings.h"
#include "versionquerybox.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// Each test gets an application root of its own, with the given "update.ini" contents
// (std::nullopt: no file), and a configuration that asks a scripted local update server.
class ConfigurationFixture
{
public:
    explicit ConfigurationFixture(const std::optional<QByteArray>& updateIni)
    {
        if (updateIni) {
            QFile file(root.filePath(u"update.ini"_s));
            if (file.open(QIODevice::WriteOnly))
                file.write(*updateIni);
        }
        ConfigurationPrivateAccess::setUpdateServer(configuration, u"127.0.0.1"_s, server.port(),
                                                    200ms);
        configuration.setRetryQuestion(&VersionQueryBox::askRetry);
    }

    QTemporaryDir root;
    UdpResponder server;
    Configuration configuration{InstallationLayout(root.path())};
};

class TestConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void channel_data();
    void channel();
    void proxyAndStreams_data();
    void proxyAndStreams();
    void retryAfterFailedQuery();
    void abortKeepsNews();
    void withoutQuestionGivesUpAtOnce();
    void tempDirSkipsExistingCandidates_data();
    void tempDirSkipsExistingCandidates();
    void tempDirIsPrivate();
    void tempDirGivesUpAfterAllCandidates();
    void specialFileNames_data();
    void specialFileNames();
};

namespace {

const QString program = u"update"_s;
const QString defaultType = u"client_linux_amd64"_s;

} // namespace

void TestConfiguration::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<bool>("expectedNoUser");
    QTest::addColumn<QString>("expectedType");
    QTest::addColumn<int>("expectedVersion");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<QString>("expectedNews");
    QTest::addColumn<bool>("serverAsked");
    QTest::addColumn<QString>("expectedFatalError");

    // The scripted server answers "11#Eleven,12#Twelve" and the news "From server".
    const QByteArray none;
    const QByteArray alpha = "[Channel]\nalpha=http://alpha.example/\nalphaRevno=1234\n"_ba;

    QTest::newRow("no arguments") << QStringList{program} << none << true << false << defaultType
                                  << 11 << u"Eleven"_s << u"From server"_s << true << QString();
    QTest::newRow("one argument is ignored")
            << QStringList{program, u"client_x"_s} << none << true << false << defaultType << 11
            << u"Eleven"_s << u"From server"_s << true << QString();
    QTest::newRow("three arguments are ignored")
            << QStringList{program, u"client_x"_s, u"5"_s, u"Five"_s} << none << true << false
            << defaultType << 11 << u"Eleven"_s << u"From server"_s << true << QString();
    QTest::newRow("explicit type and version")
            << QStringList{program, u"client_x"_s, u"42"_s} << none << true << false
            << u"client_x"_s << 42 << QString() << QString() << false << QString();
    QTest::newRow("explicit version zero is taken as given")
            << QStringList{program, u"client_x"_s, u"0"_s} << none << true << false << u"client_x"_s
            << 0 << QString() << QString() << false << QString();
    QTest::newRow("explicit version not a number")
            << QStringList{program, u"client_x"_s, u"abc"_s} << none << false << false
            << u"client_x"_s << 0 << QString() << QString() << false
            << u"Invalid version nr (abc)"_s;
    QTest::newRow("alphaRevno wins over an unchecked argument")
            << QStringList{program, u"client_x"_s, u"abc"_s} << alpha << true << false
            << u"client_x"_s << 1234 << QString() << QString() << false << QString();
    QTest::newRow("nouser alone asks the server")
            << QStringList{program, u"--nouser"_s} << none << true << true << defaultType << 11
            << u"Eleven"_s << u"From server"_s << true << QString();
    QTest::newRow("nouser with type only ignores the type")
            << QStringList{program, u"--nouser"_s, u"client_x"_s} << none << true << true
            << defaultType << 11 << u"Eleven"_s << u"From server"_s << true << QString();
    QTest::newRow("nouser with type and version")
            << QStringList{program, u"--nouser"_s, u"client_x"_s, u"5"_s} << none << true << true
            << u"client_x"_s << 5 << QString() << QString() << false << QString();
    QTest::newRow("nouser with hash as version name and news")
            << QStringList{program, u"--nouser"_s, defaultType, u"5"_s, u"#"_s, u"Big news"_s}
            << none << true << true << defaultType << 5 << QString() << u"Big news"_s << false
            << QString();
    QTest::newRow("nouser with version name")
            << QStringList{program, u"--nouser"_s, u"client_x"_s, u"5"_s, u"Five"_s} << none << true
            << true << u"client_x"_s << 5 << u"Five"_s << QString() << false << QString();
    QTest::newRow("nouser with alphaRevno keeps the fixed version")
            << QStringList{program, u"--nouser"_s, u"client_x"_s, u"5"_s} << alpha << true << true
            << u"client_x"_s << 1234 << QString() << QString() << false << QString();
    QTest::newRow("nouser with bad version")
            << QStringList{program, u"--nouser"_s, u"client_x"_s, u"5x"_s} << none << false << false
            << u"client_x"_s << 0 << QString() << QString() << false
            << u"Invalid version nr (5x)"_s;
    QTest::newRow("beta channel picks the second entry")
            << QStringList{program} << "[Channel]\nbeta=true\n"_ba << true << false << defaultType
            << 12 << u"Twelve"_s << u"From server"_s << true << QString();
    QTest::newRow("alpha channel without entry on the server")
            << QStringList{program} << "[Channel]\nalpha=http://alpha.example/\n"_ba << false
            << false << defaultType << 0 << QString() << u"From server"_s << true << QString();
}

void TestConfiguration::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, updateIni);
    QFETCH(bool, expectedResult);
    QFETCH(bool, expectedNoUser);
    QFETCH(QString, expectedType);
    QFETCH(int, expectedVersion);
    QFETCH(QString, expectedName);
    QFETCH(QString, expectedNews);
    QFETCH(bool, serverAsked);
    QFETCH(QString, expectedFatalError);

    ConfigurationFixture fixture(updateIni.isEmpty() ? std::nullopt
                                                     : std::optional<QByteArray>(updateIni));
    fixture.server.setReplies({"11#Eleven,12#Twelve"_ba, "From server"_ba});
    QSignalSpy fatalErrors(&fixture.configuration, &Configuration::fatalError);
    Configuration& configuration = fixture.configuration;

    QCOMPARE(configuration.parseCommandLineOptions(arguments), expectedResult);
    QCOMPARE(configuration.noUser, expectedNoUser);
    QCOMPARE(configuration.clientType, expectedType);
    QCOMPARE(configuration.clientVersion, expectedVersion);
    QCOMPARE(configuration.versionName, expectedName);
    QCOMPARE(configuration.news, expectedNews);
    QCOMPARE(!fixture.server.requests().isEmpty(), serverAsked);
    // The client passes on what the server told it; only a person's choice stays explicit.
    if (expectedResult)
        QCOMPARE(configuration.versionOrigin, serverAsked ? VersionOrigin::Server
                                              : expectedNoUser && !updateIni.contains("alphaRevno")
                                                      ? VersionOrigin::Client
                                                      : VersionOrigin::Named);
    if (expectedFatalError.isEmpty()) {
        QCOMPARE(fatalErrors.count(), 0);
    } else {
        QCOMPARE(fatalErrors.count(), 1);
        QCOMPARE(fatalErrors.at(0).at(0).toString(), expectedFatalError);
    }
}

void TestConfiguration::channel_data()
{
    QTest::addColumn<std::optional<QByteArray>>("updateIni");
    QTest::addColumn<UpdateChannel>("expectedChannel");
    QTest::addColumn<int>("expectedVersion");

    QTest::newRow("missing file") << std::optional<QByteArray>() << UpdateChannel::Stable << 0;
    QTest::newRow("empty file") << std::optional<QByteArray>(""_ba) << UpdateChannel::Stable << 0;
    QTest::newRow("garbled file") << std::optional<QByteArray>(
                                             "\x00\xff[[[Channel\n=beta=\n\x01\x02 ]]"_ba)
                                  << UpdateChannel::Stable << 0;
    QTest::newRow("beta") << std::optional<QByteArray>("[Channel]\nbeta=true\n"_ba)
                          << UpdateChannel::Beta << 0;
    QTest::newRow("beta false") << std::optional<QByteArray>("[Channel]\nbeta=false\n"_ba)
                                << UpdateChannel::Stable << 0;
    QTest::newRow("alpha with revno")
            << std::optional<QByteArray>("[Channel]\nalpha=http://a/\nalphaRevno=1234\n"_ba)
            << UpdateChannel::Alpha << 1234;
    QTest::newRow("alpha without revno")
            << std::optional<QByteArray>("[Channel]\nalpha=http://a/\n"_ba) << UpdateChannel::Alpha
            << 0;
    QTest::newRow("alpha with a comma")
            << std::optional<QByteArray>("[Channel]\nalpha=http://a/x,y/\nalphaRevno=3\n"_ba)
            << UpdateChannel::Alpha << 3;
    QTest::newRow("alpha and beta")
            << std::optional<QByteArray>("[Channel]\nalpha=http://a/\nbeta=true\n"_ba)
            << UpdateChannel::Alpha << 0;
    // The settings reader used to miss "[Channel]" while the section below it was unread.
    QTest::newRow("section below Channel")
            << std::optional<QByteArray>(
                       "[Channel]\nalpha=http://a/\nalphaRevno=5\n[Channel/notes]\nx=1\n"_ba)
            << UpdateChannel::Alpha << 5;
    QTest::newRow("revno without alpha is ignored")
            << std::optional<QByteArray>("[Channel]\nbeta=true\nalphaRevno=99\n"_ba)
            << UpdateChannel::Beta << 0;
}

void TestConfiguration::channel()
{
    QFETCH(std::optional<QByteArray>, updateIni);
    QFETCH(UpdateChannel, expectedChannel);
    QFETCH(int, expectedVersion);

    ConfigurationFixture fixture(updateIni);
    fixture.configuration.clientVersion = 77;
    fixture.configuration.getUpdateChannel();
    QCOMPARE(fixture.configuration.channel, expectedChannel);
    QCOMPARE(fixture.configuration.clientVersion, expectedVersion);
}

void TestConfiguration::proxyAndStreams_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QString>("expectedProxy");
    QTest::addColumn<int>("expectedStreams");
    QTest::addColumn<int>("expectedProbation");

    QTest::newRow("defaults") << QByteArray() << QString() << 6 << 30;
    QTest::newRow("zero streams, no probation")
            << "[update]\nstreams=0\nprobation=0\n"_ba << QString() << 6 << 0;
    QTest::newRow("negative streams and probation")
            << "[update]\nstreams=-3\nprobation=-1\n"_ba << QString() << 6 << 30;
    QTest::newRow("many streams, long probation")
            << "[update]\nstreams=20\nprobation=90\n"_ba << QString() << 20 << 90;
    QTest::newRow("streams and probation not a number")
            << "[update]\nstreams=lots\nprobation=soon\n"_ba << QString() << 6 << 30;
    QTest::newRow("proxy") << "[update]\nproxy=http://proxy.example:3128\nstreams=2\n"_ba
                           << u"http://proxy.example:3128"_s << 2 << 30;
    QTest::newRow("keys of another group")
            << "[Channel]\nproxy=http://wrong\nstreams=9\nprobation=0\n"_ba << QString() << 6 << 30;
}

void TestConfiguration::proxyAndStreams()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(QString, expectedProxy);
    QFETCH(int, expectedStreams);

    ConfigurationFixture fixture(updateIni);
    const UserSettings settings = UserSettings::read(fixture.configuration.installation());
    QCOMPARE(settings.proxy, expectedProxy);
    QCOMPARE(settings.streams, expectedStreams);
    // No row gives the default itself: a value that is kept is one given.
    QCOMPARE(settings.streamsGiven, expectedStreams != UserSettings::defaultStreams);
    QTEST(int(settings.probation.count()), "expectedProbation");
}

void TestConfiguration::retryAfterFailedQuery()
{
    ConfigurationFixture fixture(std::nullopt);
    // The first exchange gets its version list but no news; the retry gets both.
    fixture.server.setReplies({"21#First,22"_ba, std::nullopt, "31#Second,32"_ba, "News"_ba});
    ModalBoxAnswerer answerer({QMessageBox::Retry});

    QString news = u"old"_s;
    const auto result = fixture.configuration.getLatestClientVersion(UpdateChannel::Beta, news);

    QCOMPARE(answerer.boxesSeen(),
             QStringList{u"Error|Failed to query latest client\nversion from update server."_s});
    QCOMPARE(answerer.buttonsSeen().value(0), QMessageBox::Retry | QMessageBox::Abort);
    QCOMPARE(answerer.iconsSeen().value(0), QMessageBox::Critical);
    QCOMPARE(result, (QPair<QString, QString>{u"22"_s, QString()}));
    QCOMPARE(news, u"News"_s);
    QCOMPARE(fixture.server.requests().size(), 4);
}

void TestConfiguration::abortKeepsNews()
{
    ConfigurationFixture fixture(std::nullopt);
    ModalBoxAnswerer answerer({QMessageBox::Retry, QMessageBox::Abort});

    fixture.configuration.news = u"untouched"_s;
    QVERIFY(!fixture.configuration.parseCommandLineOptions({program, u"--nouser"_s}));

    QCOMPARE(answerer.boxesSeen().size(), 2);
    QCOMPARE(fixture.configuration.news, u"untouched"_s);
    QVERIFY(!fixture.configuration.noUser);
    QCOMPARE(fixture.server.requests(),
             (QList<QByteArray>{QByteArray("3\0", 2), QByteArray("3\0", 2)}));
}

void TestConfiguration::withoutQuestionGivesUpAtOnce()
{
    ConfigurationFixture fixture(std::nullopt);
    fixture.configuration.setRetryQuestion({});
    ModalBoxAnswerer answerer({QMessageBox::Retry});

    QString news = u"untouched"_s;
    const auto result = fixture.configuration.getLatestClientVersion(UpdateChannel::Stable, news);

    QCOMPARE(result, (QPair<QString, QString>()));
    QCOMPARE(news, u"untouched"_s);
    QVERIFY(answerer.boxesSeen().isEmpty());
    QCOMPARE(fixture.server.requests(), QList<QByteArray>{QByteArray("3\0", 2)});
}

// The system temporary directory follows TMPDIR, so each test points it at a directory of its own.
class TemporaryDirectoryFixture
{
public:
    TemporaryDirectoryFixture()
        : previous(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", systemTemp.path().toLocal8Bit());
    }
    ~TemporaryDirectoryFixture() { qputenv("TMPDIR", previous); }

    [[nodiscard]] QString candidate(int i) const
    {
        return systemTemp.filePath(u"sonavelle_temp_"_s + QString::number(i));
    }

    QTemporaryDir systemTemp;
    QByteArray previous;
};

void TestConfiguration::tempDirSkipsExistingCandidates_data()
{
    QTest::addColumn<QStringList>("occupants");
    QTest::addColumn<int>("expectedNumber");

    QTest::newRow("none present") << QStringList{} << 0;
    QTest::newRow("0 to 4 present")
            << QStringList{u"dir"_s, u"dir"_s, u"dir"_s, u"dir"_s, u"dir"_s} << 5;
    QTest::newRow("files and links count as present")
            << QStringList{u"file"_s, u"dangling link"_s, u"dir"_s} << 3;
}

void TestConfiguration::tempDirSkipsExistingCandidates()
{
    QFETCH(QStringList, occupants);
    QFETCH(int, expectedNumber);

    TemporaryDirectoryFixture temp;
    for (int i = 0; i < occupants.size(); ++i) {
        const QString path = temp.candidate(i);
        if (occupants.at(i) == u"dir")
            QVERIFY(QDir().mkdir(path));
        else if (occupants.at(i) == u"file")
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        else
            QVERIFY(QFile::link(temp.systemTemp.filePath(u"nowhere"_s), path));
    }

    const Result<SessionLayout> session = SessionLayout::create();
    QVERIFY(session.ok());
    QCOMPARE(session.value().directory(), temp.candidate(expectedNumber));
    QVERIFY(QFileInfo(session.value().directory()).isDir());
    QVERIFY(!QFileInfo::exists(temp.systemTemp.filePath(u"nowhere"_s)));
}

void TestConfiguration::tempDirIsPrivate()
{
    TemporaryDirectoryFixture temp;
    const Result<SessionLayout> session = SessionLayout::create();
    QVERIFY(session.ok());
    const QFileInfo info(session.value().directory());
    QVERIFY(info.isDir());
    const auto groupOrOther = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                              QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(info.permissions() & groupOrOther, QFile::Permissions());
    QCOMPARE(info.permissions() & QFile::WriteOwner, QFile::WriteOwner);
}

void TestConfiguration::tempDirGivesUpAfterAllCandidates()
{
    TemporaryDirectoryFixture temp;
    for (int i = 0; i < SessionLayout::directoryCandidates; ++i)
        QVERIFY(QFile(temp.candidate(i)).open(QIODevice::WriteOnly));

    const Result<SessionLayout> session = SessionLayout::create();
    QVERIFY(!session.ok());
    QCOMPARE(session.failure().kind, Failure::Kind::Disk);
    QCOMPARE(session.failure().text, u"Unable to create temp directory."_s);
}

void TestConfiguration::specialFileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("special");

    QTest::newRow("update") << u"update"_s << true;
    QTest::newRow("core library") << u"libQtCore.so.4"_s << true;
    QTest::newRow("accessibility plug-in") << u"libqtaccessiblewidgets.so"_s << true;
    QTest::newRow("upper case spelling") << u"LIBQTCORE.SO.4"_s << false;
    QTest::newRow("with directory") << u"imageformats/libqgif.so"_s << false;
    QTest::newRow("backup name") << u"_old_update"_s << false;
    QTest::newRow("client") << u"vq3client_runscript.sh"_s << false;
}

void TestConfiguration::specialFileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, special);
    QCOMPARE(InstallationLayout::isOwnFile(name), special);
}

QTEST_MAIN(TestConfiguration)
#include "tst_configuration.moc"
