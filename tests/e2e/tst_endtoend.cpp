#include "banner.h"
#include "changelogviewer.h"
#include "channelstatement.h"
#include "configuration.h"
#include "ed25519.h"
#include "httpserver.h"
#include "installationlayout.h"
#include "mainwindow.h"
#include "sha256.h"
#include "testfiles.h"
#include "treesnapshot.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QUdpSocket>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString clientType = u"client_linux_amd64"_s;
const QString startScript = u"vq3client_runscript.sh"_s;
const QString marker = u"client_started"_s;
// What the program under test checks, by the keys it was built with: release manifests, and with
// them channel statements.
constexpr bool checksManifests = UPDATE_HAS_MANIFEST_KEY;
constexpr bool readsStatements = UPDATE_HAS_MANIFEST_KEY && UPDATE_HAS_CHANNEL_KEY;
// A run that works ends within seconds; this bounds one that hangs.
constexpr int runTimeout = 90000;

QString fromBuild(const char* path)
{
    return QString::fromLocal8Bit(path);
}

// Runs the event loop until the condition holds or the time is up; true when it holds.
bool waitUntil(const std::function<bool()>& condition, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

// Copies a directory tree; links are not expected in the trees copied here.
bool copyTree(const QString& from, const QString& to)
{
    if (!QDir().mkpath(to))
        return false;
    QDirIterator it(from, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + u'/' + QDir(from).relativeFilePath(path);
        const bool copied =
                it.fileInfo().isDir() ? QDir().mkpath(target) : QFile::copy(path, target);
        if (!copied)
            return false;
    }
    return true;
}

// Where a file of the client lies below a version directory of a mirror: in the directory of its
// product ini section. Empty when it is not there.
QString mirrorPath(const QString& versionDirectory, const QString& key)
{
    const QDir version(versionDirectory);
    for (const QString& section : version.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (QFileInfo(version.filePath(section + u'/' + key)).isFile())
            return section + u'/' + key;
    }
    return {};
}

// The files of one client version, by path below the application root.
using ClientFiles = QMap<QString, QByteArray>;

QByteArray repeated(const QByteArray& line, int count)
{
    QByteArray result;
    for (int i = 0; i < count; ++i)
        result += line + QByteArray::number(i) + '\n';
    return result;
}

QByteArray clientScript(int version)
{
    return "#!/bin/sh\necho \"client " + QByteArray::number(version) + "\" > \"$(dirname \"$0\")/" +
           marker.toUtf8() + "\"\n";
}

ClientFiles versionOne()
{
    return {
            {u"vq3client_linux_amd64"_s, "\x7f"
                                         "ELF client 1"_ba},
            {startScript, clientScript(1)},
            {u"lib/libvoice.so"_s, "voice library 1"_ba},
            {u"data/sounds/ring.wav"_s, repeated("RIFF ring ", 300)},
            {u"data/maps.dat"_s, repeated("map data version one ", 2000)},
            {u"share/readme.txt"_s, "read me, version 1\n"_ba},
            {u"share/old_manual.txt"_s, "a manual that version 2 drops\n"_ba},
    };
}

// Changed, unchanged, compressed (the .dat files), new and deleted files against version 1.
ClientFiles versionTwo()
{
    ClientFiles files = versionOne();
    files[u"vq3client_linux_amd64"_s] = "\x7f"
                                        "ELF client 2, larger than before"_ba;
    files[startScript] = clientScript(2);
    files[u"lib/libvoice.so"_s] = "voice library 2"_ba;
    files[u"data/maps.dat"_s] = repeated("map data version two ", 2500);
    files[u"data/voices/de.dat"_s] = repeated("deutsche Stimme ", 1500);
    files[u"docs/changes.txt"_s] = "what is new in 2\n"_ba;
    files.remove(u"share/old_manual.txt"_s);
    return files;
}

ClientFiles versionThree()
{
    ClientFiles files = versionTwo();
    files[u"lib/libvoice.so"_s] = "voice library 3"_ba;
    files[startScript] = clientScript(3);
    return files;
}

bool isExecutableName(const QString& path)
{
    static const QStringList names{
            u"vq3client_linux_x86"_s, u"vq3client_linux_amd64"_s, startScript, u"update"_s,
            u"fault_beacon"_s,        u"bundle_wright"_s};
    const QFileInfo info(path);
    return names.contains(info.fileName()) || info.completeSuffix() == u"so" ||
           info.completeSuffix() == u"so.4";
}

bool writeClient(const QString& directory, const ClientFiles& files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = directory + u'/' + it.key();
        // Scripts are programs, as in a real client directory.
        const auto exe = it.value().startsWith("#!")
                                 ? QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther
                                 : QFile::Permissions();
        if (!writeFile(path, it.value()) ||
            !QFile::setPermissions(path, QFile::permissions(path) | exe))
            return false;
    }
    return true;
}

// A finished external program: exit code (-1 when it crashed or did not end) and its output.
struct ToolRun
{
    int exitCode = -1;
    QByteArray output;
};

ToolRun runTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    ToolRun run;
    if (!process.waitForFinished(runTimeout)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.output = process.readAll();
    if (process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    return run;
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Waits until a started server takes connections on the port; false when it ended instead.
bool listensOn(QProcess& process, quint16 port)
{
    return waitUntil(
                   [&] {
                       if (process.state() == QProcess::NotRunning)
                           return true;
                       QTcpSocket socket;
                       socket.connectToHost(QHostAddress::LocalHost, port);
                       return socket.waitForConnected(200);
                   },
                   20000) &&
           process.state() == QProcess::Running;
}

void stopServer(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
}

// One nginx in the foreground, as the current user, serving a directory on a loopback port;
// everything it writes stays in its own working directory.
class Nginx
{
public:
    Nginx(const QString& servedDirectory, const QString& workDirectory)
        : served(servedDirectory)
        , work(workDirectory)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~Nginx() { stop(); }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    // A port taken between choosing and binding it makes nginx end at once: another is tried.
    [[nodiscard]] bool start()
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = freeTcpPort();
            if (port != 0 && writeConfig() && launch())
                return true;
            stop();
        }
        return false;
    }
    void stop() { stopServer(process); }
    [[nodiscard]] QString url(const QString& path) const
    {
        return u"http://127.0.0.1:%1/%2"_s.arg(port).arg(path);
    }
    // The request paths of the access log, oldest first.
    [[nodiscard]] QStringList requestedPaths() const
    {
        static const QRegularExpression request(u"\"GET ([^ ]+) HTTP"_s);
        QStringList paths;
        const QString log = QString::fromUtf8(readFile(work + u"/access.log"_s));
        for (auto it = request.globalMatch(log); it.hasNext();)
            paths << it.next().captured(1);
        return paths;
    }
    // The requests of the access log that no proxy passed on: a proxy names itself in "Via".
    [[nodiscard]] QStringList directRequests() const
    {
        QStringList direct;
        for (const QByteArray& line : readFile(work + u"/access.log"_s).split('\n')) {
            if (!line.isEmpty() && !line.contains(" (tinyproxy/"))
                direct << QString::fromUtf8(line);
        }
        return direct;
    }
    [[nodiscard]] QByteArray errorLog() const { return readFile(work + u"/error.log"_s); }
    // Serves every response at this many bytes a second, so that a run can be caught in its
    // downloads; takes effect at the next start.
    void setRateLimit(int bytesPerSecond) { rateLimit = bytesPerSecond; }

private:
    [[nodiscard]] bool writeConfig() const
    {
        const QByteArray w = work.toUtf8();
        const QByteArray config =
                "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                "pid " +
                w + "/nginx.pid;\nerror_log " + w +
                "/error.log;\n"
                "events { worker_connections 64; }\n"
                "http {\n"
                "    log_format via '$remote_addr [$time_local] \"$request\" $status "
                "$body_bytes_sent \"$http_via\"';\n"
                "    access_log " +
                w +
                "/access.log via;\n"
                "    client_body_temp_path " +
                w +
                "/body;\n"
                "    proxy_temp_path " +
                w +
                "/proxy;\n"
                "    fastcgi_temp_path " +
                w +
                "/fastcgi;\n"
                "    uwsgi_temp_path " +
                w +
                "/uwsgi;\n"
                "    scgi_temp_path " +
                w +
                "/scgi;\n"
                "    types { }\n    default_type application/octet-stream;\n"
                "    server {\n"
                "        listen 127.0.0.1:" +
                QByteArray::number(port) +
                ";\n"
                "        root " +
                served.toUtf8() + ";\n" +
                (rateLimit > 0 ? "        limit_rate " + QByteArray::number(rateLimit) + ";\n"
                               : QByteArray()) +
                ""
                "    }\n"
                "}\n";
        return writeFile(work + u"/nginx.conf"_s, config);
    }
    [[nodiscard]] bool launch()
    {
        process.start(fromBuild(NGINX_PROGRAM), {u"-p"_s, work, u"-e"_s, work + u"/error.log"_s,
                                                 u"-c"_s, work + u"/nginx.conf"_s});
        return process.waitForStarted() && listensOn(process, port);
    }

    QString served;
    QString work;
    quint16 port = 0;
    int rateLimit = 0;
    QProcess process;
};

// Debian's tinyproxy in the foreground on a loopback port, logging every request it forwards.
class Proxy
{
public:
    explicit Proxy(const QString& workDirectory)
        : work(workDirectory)
    {}
    ~Proxy() { stopServer(process); }

    [[nodiscard]] bool start()
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = freeTcpPort();
            const QByteArray config = "Port " + QByteArray::number(port) +
                                      "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                                      "LogLevel Connect\nLogFile \"" +
                                      work.toUtf8() + "/tinyproxy.log\"\n";
            const QString file = work + u"/tinyproxy.conf"_s;
            if (port != 0 && writeFile(file, config)) {
                process.start(fromBuild(TINYPROXY_PROGRAM), {u"-d"_s, u"-c"_s, file});
                if (process.waitForStarted() && listensOn(process, port))
                    return true;
            }
            stopServer(process);
        }
        return false;
    }
    [[nodiscard]] QString url() const { return u"http://127.0.0.1:%1"_s.arg(port); }
    [[nodiscard]] QByteArray log() const { return readFile(work + u"/tinyproxy.log"_s); }

private:
    QString work;
    quint16 port = 0;
    QProcess process;
};

// The local update server on its fixed ports, answering with the given channel versions.
class UpdateServer
{
public:
    ~UpdateServer() { stopServer(process); }

    [[nodiscard]] bool start(const QStringList& options)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(fromBuild(UPDATESERVER_PROGRAM),
                      QStringList{u"--address"_s, u"127.0.0.1"_s} + options);
        if (!process.waitForStarted())
            return false;
        // Ready once it answers the version query.
        QUdpSocket socket;
        return waitUntil(
                       [&] {
                           if (process.state() == QProcess::NotRunning)
                               return true;
                           socket.writeDatagram("3\0"_ba, QHostAddress::LocalHost, 17384);
                           return socket.waitForReadyRead(200);
                       },
                       20000) &&
               process.state() == QProcess::Running;
    }
    [[nodiscard]] QByteArray output() { return process.readAll(); }

private:
    QProcess process;
};

// The real "update" program in a fresh application root.
class Installation
{
public:
    Installation() { QVERIFY(QFile::copy(fromBuild(UPDATE_PROGRAM), program())); }

    [[nodiscard]] QString path(const QString& name = QString()) const
    {
        return name.isEmpty() ? root.path() : root.filePath(name);
    }
    [[nodiscard]] QString program() const { return path(u"update"_s); }
    [[nodiscard]] bool writeMirrors(const QStringList& urls) const
    {
        QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(urls.size()) + '\n';
        QByteArray groups;
        for (int i = 0; i < urls.size(); ++i) {
            const QByteArray name = "m" + QByteArray::number(i + 1);
            ini += QByteArray::number(i + 1) + "\\mirror=" + name + '\n';
            groups += "\n[" + name + "]\nurl=" + urls[i].toUtf8() + '\n';
        }
        return writeFile(path(u"mirrors.ini"_s), ini + groups);
    }
    // Without a probation unless content sets one: the tests compare the tree as the updater
    // leaves it, which a watched first start would still be tidying. The probation has tests of
    // its own.
    [[nodiscard]] bool writeSettings(QByteArray content) const
    {
        if (!content.contains("probation=")) {
            const qsizetype group = content.indexOf("[update]\n");
            if (group < 0)
                content.prepend("[update]\nprobation=0\n");
            else
                content.insert(group + qsizetype(strlen("[update]\n")), "probation=0\n");
        }
        return writeFile(path(u"update.ini"_s), content);
    }

    // What every program of this installation runs with: its own temporary and home folders.
    [[nodiscard]] QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        environment.insert(u"QT_FORCE_STDERR_LOGGING"_s, u"1"_s);
        environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
        environment.insert(u"TMPDIR"_s, systemTemp.path());
        environment.insert(u"HOME"_s, home.path());
        return environment;
    }

    // Starts the program, through the tracer's command line when one is given; standard error
    // is collected as it arrives.
    void start(const QStringList& arguments, const QStringList& tracer = {})
    {
        log.clear();
        process = std::make_unique<QProcess>();
        QProcessEnvironment variables = environment();
        // The leak check stops the threads with ptrace, which a tracer holds already.
        if (!tracer.isEmpty())
            variables.insert(u"ASAN_OPTIONS"_s,
                             variables.value(u"ASAN_OPTIONS"_s) + u":detect_leaks=0"_s);
        process->setProcessEnvironment(variables);
        process->setWorkingDirectory(root.path());
        process->setStandardOutputFile(QProcess::nullDevice());
        QObject::connect(process.get(), &QProcess::readyReadStandardError, process.get(),
                         [this] { log += process->readAllStandardError(); });
        QStringList command = tracer + QStringList{program()} + arguments;
        process->start(command.takeFirst(), command);
    }
    // Waits for the program to end by itself; true when it ended with exit code 0.
    [[nodiscard]] bool finishes()
    {
        const bool ended = waitUntil([this] { return !running(); }, runTimeout);
        log += process->readAllStandardError();
        return ended && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    }
    // A cancelled unattended run leaves its window waiting for the user: waits for the log to
    // say so, then ends the program.
    [[nodiscard]] bool endsCancelled()
    {
        const bool cancelled = waitUntil(
                [this] { return !running() || log.contains("\nUpdate cancelled\n"); }, runTimeout);
        const bool wasRunning = running();
        stop();
        return cancelled && wasRunning;
    }
    void stop()
    {
        if (!process || !running())
            return;
        process->terminate();
        if (!process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished();
        }
    }
    // Waits until the log holds text; false when the program ended or time ran out first.
    [[nodiscard]] bool logs(const QByteArray& text)
    {
        return waitUntil([&] { return log.contains(text) || !running(); }, runTimeout) &&
               log.contains(text);
    }
    // Waits until one of the texts is in the log as often as it asks, reading the log every
    // millisecond; the index of that text, or -1 when the program ended first.
    [[nodiscard]] int seen(const QList<std::pair<QByteArray, int>>& texts)
    {
        const QDeadlineTimer deadline(runTimeout);
        for (;;) {
            for (qsizetype i = 0; i < texts.size(); ++i) {
                if (log.count(texts[i].first) >= texts[i].second)
                    return int(i);
            }
            if (!running() || deadline.hasExpired())
                return -1;
            QTest::qWait(1);
        }
    }
    // Ends the program the hard way, as a crash or a power cut would.
    void kill()
    {
        process->kill();
        process->waitForFinished();
    }
    [[nodiscard]] bool running() const { return process->state() != QProcess::NotRunning; }
    [[nodiscard]] QString logText() const { return QString::fromUtf8(log); }

    // The client started through its script, which says which version it is.
    [[nodiscard]] bool clientStarted(int version) const
    {
        return waitUntil(
                [&] {
                    return readFile(path(marker)) == "client " + QByteArray::number(version) + '\n';
                },
                20000);
    }
    [[nodiscard]] QString systemTempPath() const { return systemTemp.path(); }
    [[nodiscard]] QString homePath() const { return home.path(); }
    [[nodiscard]] QStringList sessionDirectories() const
    {
        return QDir(systemTemp.path()).entryList({u"sonavelle_temp_*"_s}, QDir::Dirs);
    }
    [[nodiscard]] QString recordedSession() const
    {
        QSettings settings(path(u"update.ini"_s), QSettings::IniFormat);
        return settings.value(u"current/dir"_s).toString();
    }
    [[nodiscard]] bool hasRecord() const
    {
        QSettings settings(path(u"update.ini"_s), QSettings::IniFormat);
        return settings.childGroups().contains(u"current"_s);
    }

    ~Installation() { stop(); }

private:
    QTemporaryDir root;
    QTemporaryDir systemTemp;
    QTemporaryDir home;
    std::unique_ptr<QProcess> process;
    QByteArray log;
};

// The tree a successful update leaves: the application root as it was, with the files of the
// target version installed as the updater installs them and the client's marker.
TreeSnapshot expectedTree(const TreeSnapshot& before, const ClientFiles& installed,
                          const ClientFiles& target, const QString& rootPath)
{
    TreeSnapshot expected = before;
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        if (!target.contains(it.key()))
            expected.remove(it.key());
    }
    for (auto it = target.cbegin(); it != target.cend(); ++it) {
        if (installed.value(it.key()) == it.value() && installed.contains(it.key()))
            continue;
        const QString directory = QFileInfo(it.key()).path();
        if (directory != u"." && !before.entries().contains(directory))
            expected.addDir(directory, TreeSnapshot::newDirMode());
        const uint plain = !checksManifests ? TreeSnapshot::newFileMode() : 0644;
        expected.addFile(it.key(), it.value(), isExecutableName(it.key()) ? 0755 : plain);
    }
    // Directories the new version no longer has files in stay: only files are deleted.
    expected.addFile(marker, readFile(rootPath + u'/' + marker), TreeSnapshot::newFileMode());
    expected.addFile(u".update.lock"_s, {}, TreeSnapshot::newFileMode());
    // It records the installed version; the test of that reads it.
    expected.addFile(u"update.ini"_s, readFile(rootPath + u"/update.ini"_s),
                     TreeSnapshot::newFileMode());
    return expected;
}

} // namespace

// Version 2 on a mirror and announced by the update server, its start script doing what the
// test says after it has written its marker; version 1 installed and recorded.
struct ProbationRun
{
    explicit ProbationRun(const QByteArray& scriptEnd)
    {
        two[startScript] = clientScript(2) + scriptEnd;
    }
    ClientFiles two = versionTwo();
    QTemporaryDir mirror;
    QTemporaryDir work;
    Nginx nginx{mirror.path(), work.path()};
    UpdateServer server;
    Installation installation;
    [[nodiscard]] bool journalGone() const
    {
        return waitUntil(
                [this] { return !QFileInfo::exists(installation.path(u".update.journal"_s)); },
                runTimeout);
    }
};

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void incrementalUpdate();
    void freshInstallation();
    void versionFromUpdateServer_data();
    void versionFromUpdateServer();
    void corruptedMirrorDoesNotSpoilTheRun();
    void deltasFromTwoEarlierVersions_data();
    void deltasFromTwoEarlierVersions();
    void failingMirrorsCancelAndTheNextRunResumes();
    void selfUpdateKeepsOldProgramUntilNextStart();
    void badSignatureInstallsNothing_data();
    void badSignatureInstallsNothing();
    void killedRunResumesAndCompletes();
    void killedAtAnyMomentEndsAtTheTargetVersion();
    void killedInTheReplacementAndRebootedIsUndone();
    void killedAfterTheCommitKeepsTheNewVersionRecorded();
    void everyChangeFollowsItsRecordOnTheDisk();
    void secondStartDuringARunEndsAtOnce();
    void everyRequestGoesThroughTheProxy();
    // Hostile timing and hostile mirrors: parallel starts, a republished version.
    void tenSimultaneousStartsRunOneUpdater();
    void versionRepublishedAfterAKilledRunIsInstalled();
    // What the update server announces, against the installed version and the channel statement
    void updateServerCannotHoldBackOrTakeBack_data();
    void updateServerCannotHoldBackOrTakeBack();
    void stagedRolloutWidensHaltsAndWithdraws();
    void stalledMirrorsOrTheClientCannotBypassTheStatement_data();
    void stalledMirrorsOrTheClientCannotBypassTheStatement();
    void withheldOrReplayedStatementGivesNothingNew();
    void withdrawalEndsOnTheOlderTree();
    // The first start of a new version, watched
    void firstStartDecides_data();
    void firstStartDecides();
    void watcherKilledDuringTheProbation();
    // File modes from the release manifest
    void newExecutableFile();
    // Hostile network: byte limits, unsigned markup, nothing sent before a fatal error
    void endlessDataForAnEmptyFile();
    void imageOfDevZeroAsNews();
    void invalidProxySendsNothing_data();
    void invalidProxySendsNothing();

private:
    // An update to version 2 with a large file besides, served slowly.
    struct SlowRun
    {
        ClientFiles files;
        QTemporaryDir mirror;
        QTemporaryDir work;
        Nginx nginx{mirror.path(), work.path()};
        Installation installation;
    };
    // Starts the run and waits until it is downloading the large file, which takes seconds.
    [[nodiscard]] bool startInTheDownloads(SlowRun& run);
    // Publishes it and installs version 1.
    [[nodiscard]] bool prepare(SlowRun& run);
    // Publishes version 2, starts the mirror and the update server and installs version 1 with
    // the probation given in seconds.
    [[nodiscard]] bool prepare(ProbationRun& run, int probation);
    // Version 1 with many files installed, and version 2 of them on the mirror: a replacement
    // that takes a while.
    struct ManyFileRun
    {
        ClientFiles from;
        ClientFiles to;
        QTemporaryDir mirror;
        QTemporaryDir work;
        Nginx nginx{mirror.path(), work.path()};
        Installation installation;
    };
    // Publishes version 2, with libraries of the updater besides when ownFiles, starts the mirror
    // at rateLimit bytes a second (0: no limit) and installs version 1.
    [[nodiscard]] bool prepare(ManyFileRun& run, int rateLimit = 0, bool ownFiles = false);
    // Publishes a client version below mirrorRoot with the release tool.
    [[nodiscard]] bool publish(int version, const ClientFiles& files, const QString& mirrorRoot,
                               const QString& previous = QString(),
                               const QStringList& deltaFrom = {}, const QStringList& options = {});
    // Says that stable is on version 3, with the release tool; an expired statement the tool
    // would not sign is made here.
    [[nodiscard]] static bool signChannelStatement(const QString& mirrorRoot, const QString& key,
                                                   int expiresInDays);
    // Changes the channel statement with the release tool's options.
    [[nodiscard]] static bool changeChannels(const QString& mirrorRoot, const QStringList& options);
    // Runs the updater unattended in each installation, a few at a time; true when each ends
    // with the client of its expected version started and recorded.
    [[nodiscard]] static bool runEach(const std::vector<Installation*>& installations,
                                      const QList<int>& expectedVersions);
    [[nodiscard]] QString clientDirectory(int version) const;
    // An application root with version 1 installed and the settings files.
    [[nodiscard]] bool installVersionOne(Installation& installation, const QStringList& mirrors);

    QTemporaryDir scratch;
};

void TestEndToEnd::initTestCase()
{
    if (!DEVELOPMENT_KEY_EMBEDDED)
        QSKIP("this build embeds another public key than the development key");
    QVERIFY(scratch.isValid());
    QVERIFY(writeClient(clientDirectory(1), versionOne()));
    QVERIFY(writeClient(clientDirectory(2), versionTwo()));
    QVERIFY(writeClient(clientDirectory(3), versionThree()));
}

bool TestEndToEnd::signChannelStatement(const QString& mirrorRoot, const QString& key,
                                        int expiresInDays)
{
    if (expiresInDays > 0)
        return runTool(fromBuild(RELEASE_PROGRAM),
                       {u"--channel"_s, u"stable=3"_s, u"--expires"_s, u"%1d"_s.arg(expiresInDays),
                        u"--channel-key"_s, key, mirrorRoot})
                       .exitCode == 0;
    ChannelStatement statement;
    statement.setClientType(clientType);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    statement.setSignedAt(now.addDays(expiresInDays - 7));
    statement.setExpires(now.addDays(expiresInDays));
    statement.setVersion(u"stable"_s, 3);
    const Result<QByteArray> signature = Ed25519::sign(readFile(key), statement.toText());
    const QString path = mirrorRoot + u'/' + ChannelStatement::fileName(clientType);
    return signature.ok() && writeFile(path, statement.toText()) &&
           writeFile(path + u".sig"_s, signature.value());
}

bool TestEndToEnd::changeChannels(const QString& mirrorRoot, const QStringList& options)
{
    const ToolRun run =
            runTool(fromBuild(RELEASE_PROGRAM),
                    options + QStringList{u"--channel-key"_s, fromBuild(DEVELOPMENT_CHANNEL_KEY),
                                          mirrorRoot});
    if (run.exitCode != 0)
        qWarning().noquote() << "release tool failed:" << run.output;
    return run.exitCode == 0;
}

bool TestEndToEnd::runEach(const std::vector<Installation*>& installations,
                           const QList<int>& expectedVersions)
{
    constexpr size_t together = 4;
    for (size_t first = 0; first < installations.size(); first += together) {
        const size_t end = std::min(first + together, installations.size());
        for (size_t i = first; i < end; ++i) {
            QFile::remove(installations[i]->path(marker));
            installations[i]->start({u"--nouser"_s});
        }
        for (size_t i = first; i < end; ++i) {
            Installation& installation = *installations[i];
            const int expected = expectedVersions.at(qsizetype(i));
            if (!installation.finishes() || !installation.clientStarted(expected) ||
                QSettings(installation.path(u"update.ini"_s), QSettings::IniFormat)
                                .value(u"installed/version"_s)
                                .toInt() != expected) {
                qWarning().noquote()
                        << "installation" << i << "is not on version" << expected << '\n'
                        << installation.logText();
                return false;
            }
        }
    }
    return true;
}

QString TestEndToEnd::clientDirectory(int version) const
{
    return scratch.filePath(u"client%1"_s.arg(version));
}

bool TestEndToEnd::publish(int version, const ClientFiles& files, const QString& mirrorRoot,
                           const QString& previous, const QStringList& deltaFrom,
                           const QStringList& options)
{
    const QString source = scratch.filePath(u"publish%1_%2"_s.arg(version).arg(qHash(mirrorRoot)));
    QDir(source).removeRecursively();
    const QString changelog = scratch.filePath(u"changelog.txt"_s);
    if (!writeClient(source, files) ||
        !writeFile(changelog, "Version " + QByteArray::number(version)))
        return false;
    QStringList arguments{u"--client-version"_s,
                          QString::number(version),
                          u"--client-type"_s,
                          clientType,
                          u"--key"_s,
                          fromBuild(DEVELOPMENT_PRIVATE_KEY),
                          u"--manifest-key"_s,
                          fromBuild(DEVELOPMENT_MANIFEST_KEY),
                          u"--changelog"_s,
                          changelog,
                          u"--compress"_s,
                          u"*.dat"_s};
    if (!previous.isEmpty())
        arguments << u"--previous"_s << previous;
    for (const QString& earlier : deltaFrom)
        arguments << u"--delta-from"_s << earlier;
    const ToolRun run =
            runTool(fromBuild(RELEASE_PROGRAM), arguments << options << source << mirrorRoot);
    if (run.exitCode != 0)
        qWarning().noquote() << "release tool failed:" << run.output;
    return run.exitCode == 0;
}

bool TestEndToEnd::prepare(SlowRun& run)
{
    run.files = versionTwo();
    run.files[u"data/video/intro.bin"_s] = repeated("intro frame ", 60000); // about 1 MB
    run.nginx.setRateLimit(200000);
    return publish(2, run.files, run.mirror.path(), clientDirectory(1)) && run.nginx.start() &&
           installVersionOne(run.installation, {run.nginx.url(QString())});
}

bool TestEndToEnd::startInTheDownloads(SlowRun& run)
{
    if (!prepare(run))
        return false;
    run.installation.start({u"--nouser"_s, clientType, u"2"_s});
    if (run.installation.logs("Downloading data/data/video/intro.bin\n"))
        return true;
    qWarning().noquote() << run.installation.logText() << run.nginx.errorLog();
    return false;
}

bool TestEndToEnd::installVersionOne(Installation& installation, const QStringList& mirrors)
{
    return writeClient(installation.path(), versionOne()) && installation.writeMirrors(mirrors) &&
           installation.writeSettings("[update]\nstreams=4\n");
}

void TestEndToEnd::incrementalUpdate()
{
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));
    const TreeSnapshot before = TreeSnapshot::take(installation.path());

    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));

    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, versionOne(), versionTwo(), installation.path()));
    QVERIFY(installation.sessionDirectories().isEmpty());
    QVERIFY(!installation.hasRecord());
    // Only what changed or is new was fetched; the compressed files travel packed.
    QStringList fetched = nginx.requestedPaths().filter(
            QRegularExpression(u"^/2/(?!client_linux_amd64\\.ini)"_s));
    fetched.sort();
    QVERIFY2(!fetched.filter(u"maps.dat"_s).isEmpty(), qPrintable(fetched.join(u' ')));
    QVERIFY2(fetched.filter(u"ring.wav"_s).isEmpty(), qPrintable(fetched.join(u' ')));
    QVERIFY2(fetched.filter(u"readme.txt"_s).isEmpty(), qPrintable(fetched.join(u' ')));
}

void TestEndToEnd::freshInstallation()
{
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path()));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QVERIFY(installation.writeMirrors({nginx.url(QString())}));
    QVERIFY(installation.writeSettings("[update]\nstreams=6\n"));
    const TreeSnapshot before = TreeSnapshot::take(installation.path());
    QCOMPARE(before.entries().keys(),
             QStringList({u"mirrors.ini"_s, u"update"_s, u"update.ini"_s}));

    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, {}, versionTwo(), installation.path()));
    QVERIFY(installation.sessionDirectories().isEmpty());
    QVERIFY(!installation.hasRecord());
}

void TestEndToEnd::versionFromUpdateServer_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<bool>("serverNeeded");
    QTest::addColumn<int>("expectedVersion");

    QTest::newRow("stable") << "[update]\nstreams=6\n"_ba << true << 2;
    QTest::newRow("beta") << "[Channel]\nbeta=true\n"_ba << true << 3;
    // The alpha location comes from "update.ini" and its version from "alphaRevno": no server.
    QTest::newRow("alpha") << "[Channel]\nalpha=ALPHA\nalphaRevno=3\n"_ba << false << 3;
}

void TestEndToEnd::versionFromUpdateServer()
{
    QFETCH(QByteArray, settings);
    QFETCH(bool, serverNeeded);
    QFETCH(int, expectedVersion);

    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.filePath(u"main"_s), clientDirectory(1)));
    QVERIFY(publish(3, versionThree(), mirror.filePath(u"main"_s), clientDirectory(1)));
    QVERIFY(copyTree(mirror.filePath(u"main/3"_s), mirror.filePath(u"alpha/3"_s)));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    UpdateServer server;
    if (serverNeeded) {
        QVERIFY(server.start({u"--stable"_s, u"2"_s, u"--stable-name"_s, u"Two"_s, u"--beta"_s,
                              u"3"_s, u"--news"_s, u"<b>news</b>"_s, u"--banner-image"_s,
                              QString()}));
    }
    Installation installation;
    // On the alpha channel the mirrors of "mirrors.ini" have nothing: only the alpha location can
    // deliver.
    const bool alpha = settings.contains("alpha=");
    QVERIFY(installVersionOne(installation, {nginx.url(alpha ? u"none"_s : u"main"_s)}));
    QVERIFY(installation.writeSettings(settings.replace("ALPHA", nginx.url(u"alpha"_s).toUtf8())));
    const TreeSnapshot before = TreeSnapshot::take(installation.path());

    installation.start({u"--nouser"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(expectedVersion));
    const ClientFiles target = expectedVersion == 2 ? versionTwo() : versionThree();
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, versionOne(), target, installation.path()));
}

// Three damaged copies of the release beside a sound one: each file has a one in four chance of
// coming from the sound one, so that the damaged ones are asked for files.
void TestEndToEnd::corruptedMirrorDoesNotSpoilTheRun()
{
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.filePath(u"good"_s), clientDirectory(1)));
    QVERIFY(copyTree(mirror.filePath(u"good"_s), mirror.filePath(u"bad1"_s)));
    // Every file of the client on the bad mirror has its bytes changed, its size kept; the
    // product ini, the manifest and their signatures are sound there (a mirror that spoils them
    // costs spaced retries of their check, another test's subject).
    QDirIterator it(mirror.filePath(u"bad1/2"_s), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains(u"/client_linux_amd64."_s) || path.endsWith(u"changelog_client.txt"_s))
            continue;
        QByteArray content = readFile(path);
        content[content.size() / 2] = char(content[content.size() / 2] ^ 0x55);
        QVERIFY(writeFile(path, content));
    }
    QStringList mirrors;
    for (const QString& name : {u"bad1"_s, u"bad2"_s, u"bad3"_s, u"good"_s}) {
        QVERIFY(name == u"bad1" || name == u"good" ||
                copyTree(mirror.filePath(u"bad1"_s), mirror.filePath(name)));
        mirrors << name;
    }
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QStringList urls;
    for (const QString& name : std::as_const(mirrors))
        urls << nginx.url(name);
    QVERIFY(installVersionOne(installation, urls));
    const TreeSnapshot before = TreeSnapshot::take(installation.path());

    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, versionOne(), versionTwo(), installation.path()));
    // The bad mirrors were asked, each bad file was caught by its sum and cost its mirror: a
    // dropped mirror is asked for nothing but what was under way, "streams" files at most.
    const QString log = installation.logText();
    qsizetype fromBad = 0;
    for (const QString& name : mirrors.first(3)) {
        const qsizetype asked =
                nginx.requestedPaths()
                        .filter(QRegularExpression(u"^/%1/2/(?!client_linux_amd64\\.)"_s.arg(name)))
                        .size();
        QVERIFY2(asked <= 4, qPrintable(u"%1 asked %2 times:\n%3"_s.arg(name).arg(asked).arg(log)));
        fromBad += asked;
    }
    QVERIFY2(fromBad > 0, qPrintable(nginx.requestedPaths().join(u' ')));
    QCOMPARE(log.count(u" failed, invalidating mirror and retrying"_s), fromBad);
}

void TestEndToEnd::deltasFromTwoEarlierVersions_data()
{
    QTest::addColumn<int>("installed");
    QTest::addColumn<bool>("badPatches"); // on a second mirror, beside the good one
    QTest::addColumn<bool>("killed");     // while the large patch is applied
    QTest::newRow("from version 1") << 1 << false << false;
    QTest::newRow("from version 2") << 2 << false << false;
    QTest::newRow("a damaged patch on one mirror") << 1 << true << false;
    QTest::newRow("killed in the apply") << 1 << false << true;
}

void TestEndToEnd::deltasFromTwoEarlierVersions()
{
    QFETCH(int, installed);
    QFETCH(bool, badPatches);
    QFETCH(bool, killed);
    if (!checksManifests)
        QSKIP("patches are listed in the release manifest only");
    // A large file that each version changes in one place, beside the usual ones; large enough
    // that applying its patch takes a while when a kill is to catch it.
    QByteArray pak(killed ? 24 << 20 : 300000, Qt::Uninitialized);
    QRandomGenerator(5).fillRange(reinterpret_cast<quint32*>(pak.data()), pak.size() / 4);
    QList<ClientFiles> versions{versionOne(), versionTwo(), versionThree()};
    for (qsizetype i = 0; i < versions.size(); ++i)
        versions[i][u"data/voice.pak"_s] =
                QByteArray(pak).replace(1000 * i, 4, QByteArray("v" + QByteArray::number(i)));
    QTemporaryDir mirror;
    QTemporaryDir work;
    QTemporaryDir trees;
    for (int v = 1; v <= 3; ++v) {
        const QString tree = trees.filePath(QString::number(v));
        QVERIFY(writeClient(tree, versions[v - 1]));
        const QStringList deltaFrom = v == 3 ? QStringList{u"1"_s, u"2"_s} : QStringList();
        QVERIFY(publish(v, versions[v - 1], mirror.filePath(u"good"_s),
                        v > 1 ? trees.filePath(u"1"_s) : QString(), deltaFrom));
    }
    const QString patches = mirror.filePath(u"good/3/patches"_s);
    QVERIFY(QFileInfo(patches).isDir());
    QStringList mirrors{u"good"_s};
    if (badPatches) {
        QVERIFY(copyTree(mirror.filePath(u"good"_s), mirror.filePath(u"bad"_s)));
        QDirIterator it(mirror.filePath(u"bad/3/patches"_s), QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QByteArray content = readFile(path);
            content[content.size() / 2] = char(content[content.size() / 2] ^ 0x55);
            QVERIFY(writeFile(path, content));
        }
        mirrors.prepend(u"bad"_s);
        // The other mirror has no patches: whichever one is asked, the patch fails.
        QVERIFY(QDir(patches).removeRecursively());
    }
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QStringList urls;
    for (const QString& name : std::as_const(mirrors))
        urls << nginx.url(name);
    QVERIFY(writeClient(installation.path(), versions[installed - 1]) &&
            installation.writeMirrors(urls) && installation.writeSettings("[update]\nstreams=4\n"));
    const TreeSnapshot before = TreeSnapshot::take(installation.path());

    if (killed) {
        installation.start({u"--nouser"_s, clientType, u"3"_s});
        // Killed once the result is begun: the patch is there in whole, the result in part.
        QVERIFY(installation.seen({{"voice.pak.sufpatch", 1}}) == 0);
        const QString making = installation.recordedSession() + u"/data/voice.pak.patching"_s;
        QVERIFY(QTest::qWaitFor([&making] { return QFileInfo::exists(making); }, 20000));
        installation.kill();
        QVERIFY(QFileInfo::exists(making));
    }
    installation.start({u"--nouser"_s, clientType, u"3"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, versions[installed - 1], versions[2], installation.path()));
    const QString log = installation.logText();
    const QStringList requested = nginx.requestedPaths();
    // The large file came as a patch from the version installed, unless a damaged one failed.
    const QString from =
            QString::fromLatin1(Sha256::hexOf(versions[installed - 1][u"data/voice.pak"_s]));
    QVERIFY2(!requested.filter(u"/3/patches/"_s + from).isEmpty(),
             qPrintable(requested.join(u' ')));
    const bool fellBack = log.contains(u"Patch for data/voice.pak not used"_s);
    QCOMPARE(requested.filter(QRegularExpression(u"/3/data/data/voice\\.pak$"_s)).size(),
             fellBack ? 1 : 0);
    QVERIFY2(fellBack == badPatches, qPrintable(log));
    // A damaged patch drops no mirror: the whole files still come from both.
    QVERIFY2(!log.contains(u"invalidating mirror"_s), qPrintable(log));
}

void TestEndToEnd::failingMirrorsCancelAndTheNextRunResumes()
{
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.filePath(u"m1"_s), clientDirectory(1)));
    QVERIFY(copyTree(mirror.filePath(u"m1"_s), mirror.filePath(u"m2"_s)));
    // One file is missing on every mirror: each answers 404 for it.
    const QString missing = u"docs/changes.txt"_s;
    const QString missingOnMirror = mirrorPath(mirror.filePath(u"m1/2"_s), missing);
    QVERIFY(!missingOnMirror.isEmpty());
    const QByteArray missingContent = readFile(mirror.filePath(u"m1/2/"_s + missingOnMirror));
    QVERIFY(QFile::remove(mirror.filePath(u"m1/2/"_s + missingOnMirror)));
    QVERIFY(QFile::remove(mirror.filePath(u"m2/2/"_s + missingOnMirror)));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(u"m1"_s), nginx.url(u"m2"_s)}));
    const QByteArray settingsBefore = readFile(installation.path(u"update.ini"_s));
    TreeSnapshot before = TreeSnapshot::take(installation.path());

    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.endsCancelled(), qPrintable(installation.logText()));
    // Nothing installed; "update.ini" holds the session record besides what it held.
    TreeSnapshot afterCancel = TreeSnapshot::take(installation.path());
    afterCancel.remove(u"update.ini"_s);
    afterCancel.remove(u".update.lock"_s);
    TreeSnapshot unchanged = before;
    unchanged.remove(u"update.ini"_s);
    COMPARE_TREES(afterCancel, unchanged);
    QSettings settings(installation.path(u"update.ini"_s), QSettings::IniFormat);
    QCOMPARE(settings.value(u"update/streams"_s).toInt(), 4);
    QCOMPARE(settings.value(u"current/version"_s).toInt(), 2);
    QCOMPARE(settings.value(u"current/type"_s).toString(), clientType);
    const QStringList sessions = installation.sessionDirectories();
    QCOMPARE(sessions.size(), 1);
    const QString session = installation.recordedSession();
    QCOMPARE(QFileInfo(session).fileName(), sessions.first());
    QVERIFY(QFileInfo(session).isDir());
    // What was downloaded and verified before the cancellation is not fetched again.
    QStringList kept;
    QDirIterator it(session, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString onMirror =
                mirrorPath(mirror.filePath(u"m1/2"_s), QDir(session).relativeFilePath(path));
        if (!onMirror.isEmpty() &&
            readFile(path) == readFile(mirror.filePath(u"m1/2/"_s + onMirror)))
            kept << u"/2/"_s + onMirror;
    }
    const int requestsBefore = nginx.requestedPaths().size();

    QVERIFY(writeFile(mirror.filePath(u"m1/2/"_s + missingOnMirror), missingContent));
    QVERIFY(writeFile(mirror.filePath(u"m2/2/"_s + missingOnMirror), missingContent));
    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    QVERIFY2(installation.logText().contains(u"Previous update session for v. 2 found"_s),
             qPrintable(installation.logText()));
    const QStringList secondRun = nginx.requestedPaths().mid(requestsBefore);
    QVERIFY2(!secondRun.filter(missing).isEmpty(), qPrintable(secondRun.join(u' ')));
    for (const QString& path : std::as_const(kept)) {
        QVERIFY2(secondRun
                         .filter(QRegularExpression(u"^/m[12]"_s +
                                                    QRegularExpression::escape(path) + u'$'))
                         .isEmpty(),
                 qPrintable(path));
    }

    before.addFile(u"update.ini"_s, settingsBefore, TreeSnapshot::newFileMode());
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, versionOne(), versionTwo(), installation.path()));
    QVERIFY(installation.sessionDirectories().isEmpty());
    QVERIFY(!installation.hasRecord());
}

void TestEndToEnd::selfUpdateKeepsOldProgramUntilNextStart()
{
    Installation installation;
    const QByteArray oldProgram = readFile(installation.program());
    ClientFiles withUpdater = versionTwo();
    // Another build of the program: the same code with bytes appended, which it never reads.
    withUpdater[u"update"_s] = oldProgram + "\nrelease 2\n";
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, withUpdater, mirror.path(), clientDirectory(1)));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));
    const TreeSnapshot before = TreeSnapshot::take(installation.path());
    const uint oldMode = before.entries().value(u"update"_s).mode;

    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    TreeSnapshot expected = expectedTree(before, versionOne(), withUpdater, installation.path());
    expected.addFile(u"_old_update"_s, oldProgram, oldMode);
    COMPARE_TREES(TreeSnapshot::take(installation.path()), expected);

    // The new program removes the old one when it starts; everything else is current.
    QVERIFY(QFile::remove(installation.path(marker)));
    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    expected.remove(u"_old_update"_s);
    COMPARE_TREES(TreeSnapshot::take(installation.path()), expected);
}

void TestEndToEnd::badSignatureInstallsNothing_data()
{
    QTest::addColumn<bool>("olderRelease");
    QTest::addColumn<QString>("failedCheck");
    QTest::newRow("a line added after signing") << false << u"Signature check failed for"_s;
    // Its ini, signature, manifest and files are all genuine, but of another version.
    QTest::newRow("version 2's signed release under version 3's path")
            << true << u"Release manifest check failed: it describes version 2, not 3"_s;
}

void TestEndToEnd::badSignatureInstallsNothing()
{
    QFETCH(bool, olderRelease);
    QFETCH(QString, failedCheck);
    if (olderRelease && !checksManifests)
        QSKIP("an updater built without a manifest key trusts the mirror's path for the version");
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    const QString target = olderRelease ? u"3"_s : u"2"_s;
    if (olderRelease) {
        QVERIFY(QDir(mirror.path()).rename(u"2"_s, target));
    } else {
        const QString ini = mirror.filePath(u"2/client_linux_amd64.ini"_s);
        QVERIFY(writeFile(ini, readFile(ini) + "\n[delete]\nvq3client_linux_amd64=\n"));
    }
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));
    TreeSnapshot before = TreeSnapshot::take(installation.path());

    installation.start({u"--nouser"_s, clientType, target});
    // Refused again and again, after the first few times with growing waits: unspaced, a dozen
    // fetches a second; spaced, after at least 0.25, 0.5, 1 and 2 s.
    QVERIFY2(installation.logs("Could not verify the product ini file. Retrying in"),
             qPrintable(installation.logText()));
    const auto iniFetches = [&] { return nginx.requestedPaths().filter(u".ini.sig"_s).size(); };
    const qsizetype fetched = iniFetches();
    QTest::qWait(4000);
    QVERIFY2(iniFetches() - fetched <= 5, qPrintable(installation.logText()));
    installation.kill();
    QVERIFY2(installation.logText().contains(failedCheck), qPrintable(installation.logText()));
    TreeSnapshot after = TreeSnapshot::take(installation.path());
    after.remove(u"update.ini"_s);
    after.remove(u".update.lock"_s);
    before.remove(u"update.ini"_s);
    COMPARE_TREES(after, before);
    // No file of the client was asked for.
    const QStringList requested = nginx.requestedPaths();
    const QRegularExpression clientFile(
            u"^/%1/(?!client_linux_amd64\\.(ini|manifest))"_s.arg(target));
    QVERIFY2(requested.filter(clientFile).isEmpty(), qPrintable(requested.join(u' ')));
}

void TestEndToEnd::killedRunResumesAndCompletes()
{
    SlowRun run;
    QVERIFY(startInTheDownloads(run));
    Installation& installation = run.installation;
    installation.kill();
    // Killed in the downloads: nothing is installed yet, the session is recorded.
    QCOMPARE(readFile(installation.path(u"lib/libvoice.so"_s)), "voice library 1"_ba);
    QVERIFY(installation.hasRecord());

    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    QVERIFY2(installation.logText().contains(u"Previous update session for v. 2 found"_s),
             qPrintable(installation.logText()));
    QCOMPARE(readFile(installation.path(u"data/video/intro.bin"_s)),
             repeated("intro frame ", 60000));
    QCOMPARE(readFile(installation.path(u"lib/libvoice.so"_s)), "voice library 2"_ba);
    QVERIFY(installation.sessionDirectories().isEmpty());
    QVERIFY(!installation.hasRecord());
}

namespace {

// The moment of a kill: delay milliseconds after the count-th time a run logged marker.
struct KillPoint
{
    QByteArray marker;
    int count;
    int delay;
};

// Where a run was when it was killed, by the last stage it announced; a replacement of one of
// the updater's own files, which come after all others, is a stage of its own.
QString stageAt(const QByteArray& log)
{
    const QList<std::pair<QByteArray, QString>> stages{
            {"\nUpdate successfully finished\n", u"clean-up"_s},
            {"\nStarting deleting files\n", u"deletions"_s},
            {"\nWriting the installed files to the disk\n", u"commit"_s},
            {"\nadd/replace ", u"replacement"_s},
            {"\nStarting file updates\n", u"replacement"_s},
            {"\nDownloading ", u"downloads"_s}};
    qsizetype latest = -1;
    QString stage = u"preparation"_s;
    for (const auto& [marker, name] : stages) {
        const qsizetype at = log.lastIndexOf(marker);
        if (at > latest) {
            latest = at;
            stage = name;
        }
    }
    // The download of a packed file is named with ".gz".
    QString line = QString::fromUtf8(log.mid(latest + 1).split('\n').first());
    if (line.endsWith(u".gz"_s))
        line.chop(3);
    if (line.startsWith(u"add/replace "_s) &&
        InstallationLayout::isOwnFile(QFileInfo(line.mid(12)).fileName()))
        return u"own files"_s;
    return stage;
}

// What a kill may leave at an installed path: the old bytes, the new bytes, nothing yet (a new
// file) or nothing any more (a dropped file). A file of both versions is never missing.
QString brokenPath(const QString& root, const ClientFiles& from, const ClientFiles& to,
                   const QString& path)
{
    const QString installed = root + u'/' + path;
    if (QFileInfo::exists(installed)) {
        const QByteArray content = readFile(installed);
        const bool known = (from.contains(path) && content == from.value(path)) ||
                           (to.contains(path) && content == to.value(path));
        return known ? QString() : u"%1 holds %2 unknown bytes"_s.arg(path).arg(content.size());
    }
    return from.contains(path) && to.contains(path) ? u"%1 is missing"_s.arg(path) : QString();
}

// The downloads a session directory holds complete: their paths on the mirror.
QStringList completeDownloads(const QString& session, const QString& versionDirectory)
{
    QStringList paths;
    QDirIterator it(session, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString key = QDir(session).relativeFilePath(file);
        // The release's description is fetched by every run, to see whether it changed.
        if (key.startsWith(clientType + u'.'))
            continue;
        const QString onMirror = QFileInfo::exists(versionDirectory + u'/' + key)
                                         ? key
                                         : mirrorPath(versionDirectory, key);
        if (!onMirror.isEmpty() && readFile(file) == readFile(versionDirectory + u'/' + onMirror))
            paths << u"/2/"_s + onMirror;
    }
    return paths;
}

// Versions 1 and 2 with many files to replace and to drop and a few large ones: a replacement
// that takes a while.
std::pair<ClientFiles, ClientFiles> manyFileVersions()
{
    ClientFiles from = versionOne();
    ClientFiles to = versionTwo();
    for (int i = 0; i < 120; ++i) {
        const QString name = u"data/packs/pack%1.bin"_s.arg(i, 2, 10, QLatin1Char('0'));
        from[name] = repeated("pack " + QByteArray::number(i) + " old ", 2000 + 100 * i);
        to[name] = repeated("pack " + QByteArray::number(i) + " new ", 2000 + 100 * i);
    }
    for (int i = 0; i < 3; ++i) {
        const QString name = u"data/large%1.bin"_s.arg(i);
        from[name] = repeated("large old " + QByteArray::number(i), 200000);
        to[name] = repeated("large new " + QByteArray::number(i), 220000);
    }
    for (int i = 0; i < 150; ++i)
        from[u"share/dropped/note%1.txt"_s.arg(i)] = "dropped in 2, " + QByteArray::number(i);
    return {from, to};
}

// Libraries of the updater beside it, which a run replaces one by one after every other file.
QStringList ownLibraries()
{
    return {u"libQtCore.so.4"_s, u"libQtGui.so.4"_s, u"libQtNetwork.so.4"_s, u"libqgif.so"_s,
            u"libqjpeg.so"_s};
}

} // namespace

bool TestEndToEnd::prepare(ManyFileRun& run, int rateLimit, bool ownFiles)
{
    std::tie(run.from, run.to) = manyFileVersions();
    // Packed, they download at once and take a while to unpack: a kill can catch them.
    QStringList options;
    for (const QString& name : ownFiles ? ownLibraries() : QStringList()) {
        run.from[name] = repeated(name.toUtf8() + " of version 1 ", 250000);
        run.to[name] = repeated(name.toUtf8() + " of version 2 ", 250000);
        options << u"--compress"_s << name;
    }
    const QString oldClient = scratch.filePath(u"many_client1_%1"_s.arg(qHash(run.mirror.path())));
    if (!writeClient(oldClient, run.from) ||
        !publish(2, run.to, run.mirror.path(), oldClient, {}, options))
        return false;
    if (rateLimit > 0)
        run.nginx.setRateLimit(rateLimit);
    if (!run.nginx.start()) {
        qWarning().noquote() << run.nginx.errorLog();
        return false;
    }
    return writeClient(run.installation.path(), run.from) &&
           run.installation.writeMirrors({run.nginx.url(QString())}) &&
           run.installation.writeSettings("[update]\nstreams=4\n");
}

namespace {

// Where kills are aimed in one stage: at the first..last time a run logs marker, then up to
// maxDelay milliseconds later; share kills must land in the stage.
struct KillStage
{
    QString name;
    QByteArray marker;
    int first;
    int last;
    int maxDelay;
    int share;
};

// How many files of the update are replaced, the updater's own apart.
std::pair<int, int> replacedFiles(const ClientFiles& from, const ClientFiles& to)
{
    int regular = 0;
    int own = 0;
    for (auto it = to.cbegin(); it != to.cend(); ++it) {
        if (!from.contains(it.key()) || from.value(it.key()) != it.value())
            ++(InstallationLayout::isOwnFile(QFileInfo(it.key()).fileName()) ? own : regular);
    }
    return {regular, own};
}

} // namespace

// Killed again and again, at moments a seeded generator picks in the downloads, the replacement,
// the updater's own files, the commit and the deletions, the installation never holds a part of
// a file and never loses one; a run let finish leaves exactly version 2, and no run fetches again
// what an earlier one had complete. A kill at the commit or later leaves nothing to do, so
// version 1 is put back once the next run has finished.
void TestEndToEnd::killedAtAnyMomentEndsAtTheTargetVersion()
{
    ManyFileRun run;
    // Served slowly enough to be caught in the downloads.
    QVERIFY(prepare(run, 4000000, true));
    const ClientFiles& from = run.from;
    const ClientFiles& to = run.to;
    const QTemporaryDir& mirror = run.mirror;
    Nginx& nginx = run.nginx;
    Installation& installation = run.installation;
    TreeSnapshot before = TreeSnapshot::take(installation.path());
    const TreeSnapshot homeBefore = TreeSnapshot::take(installation.homePath());
    QStringList allPaths = from.keys() + to.keys();
    allPaths.removeDuplicates();
    const QStringList arguments{u"--nouser"_s, clientType, u"2"_s};

    // A full run logs one "add/replace" for each file replaced, the updater's own last.
    const auto [regular, own] = replacedFiles(from, to);
    const QList<KillStage> stages{
            {u"downloads"_s, "\nDownloading ", 1, 8, 400, 4},
            {u"replacement"_s, "\nadd/replace ", 1, regular, 3, 6},
            {u"own files"_s, "\nadd/replace ", regular + 1, regular + own, 3, 4},
            {u"commit"_s, "\nWriting the installed files to the disk\n", 1, 1, 3, 3},
            {u"deletions"_s, "\nStarting deleting files\n", 1, 1, 3, 3}};
    const quint32 seed = 20261207;
    QRandomGenerator generator(seed);
    QMap<QString, int> killsByStage;
    // The downloads first, while the first run has them all ahead; then any stage short of its
    // share.
    const auto pick = [&]() -> std::optional<KillStage> {
        QList<KillStage> open;
        for (const KillStage& stage : stages) {
            if (killsByStage.value(stage.name) < stage.share)
                open.append(stage);
        }
        if (open.isEmpty())
            return std::nullopt;
        return open.first().name == u"downloads" ? open.first()
                                                 : open.at(generator.bounded(int(open.size())));
    };

    QStringList fetchedWhole;
    qsizetype requestsSeen = 0;
    const auto fetchedAgain = [&] {
        const QStringList requested = nginx.requestedPaths();
        QStringList again;
        for (const QString& path : requested.mid(requestsSeen)) {
            if (fetchedWhole.contains(path))
                again << path;
        }
        requestsSeen = requested.size();
        return again;
    };
    // What keeps the installation from being exactly version 2 once the run that was started
    // has ended by itself, empty when nothing. The backups of the updater's own files that the
    // run replaced stay until the next start.
    const auto finishedRunProblem = [&]() -> QString {
        if (!installation.finishes() || !installation.clientStarted(2))
            return u"the run did not finish:\n"_s + installation.logText();
        TreeSnapshot after = TreeSnapshot::take(installation.path());
        for (const QString& name : ownLibraries()) {
            const QString backup = InstallationLayout::backupPrefix() + name;
            if (after.entries().contains(backup) &&
                readFile(installation.path(backup)) == from.value(name))
                after.remove(backup);
        }
        const QStringList again = fetchedAgain();
        const QString problem =
                TreeSnapshot::diff(after, expectedTree(before, from, to, installation.path())) +
                (again.isEmpty() ? QString() : u"fetched again: "_s + again.join(u' '));
        QFile::remove(installation.path(marker)); // so that the next run must start the client
        return problem;
    };
    // A kill at the commit or later leaves nothing to do: version 1 is put back.
    const auto startOver = [&] {
        for (const QString& path : to.keys()) {
            if (!from.contains(path))
                QFile::remove(installation.path(path));
        }
        fetchedWhole.clear();
        return writeClient(installation.path(), from) &&
               installation.writeSettings("[update]\nstreams=4\n");
    };

    qInfo("kill points from seed %u", seed);
    int kills = 0;
    bool fullSpeed = false;
    for (int round = 1; round <= 60; ++round) {
        const std::optional<KillStage> aim = pick();
        if (!aim)
            break;
        // Past the downloads the mirror need not be slow any more.
        if (aim->name != u"downloads" && !fullSpeed) {
            nginx.stop();
            nginx.setRateLimit(0);
            QVERIFY(nginx.start() && installation.writeMirrors({nginx.url(QString())}));
            const QString mirrors = u"mirrors.ini"_s;
            before.addFile(mirrors, readFile(installation.path(mirrors)),
                           before.entries().value(mirrors).mode);
            fullSpeed = true;
        }
        const KillPoint point{aim->marker, int(generator.bounded(aim->first, aim->last + 1)),
                              int(generator.bounded(aim->maxDelay + 1))};
        installation.start(arguments);
        if (installation.seen({{point.marker, point.count}}) < 0 ||
            (QTest::qWait(point.delay), !installation.running())) {
            qInfo("round %d got past \"%s\" #%d", round, point.marker.trimmed().constData(),
                  point.count);
            const QString problem = finishedRunProblem();
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QVERIFY(startOver());
            continue;
        }
        installation.kill();
        ++kills;
        const QString stage = stageAt("\n" + installation.logText().toUtf8());
        ++killsByStage[stage];
        qInfo("kill %d: %d ms after \"%s\" #%d, in the %s", kills, point.delay,
              point.marker.trimmed().constData(), point.count, qPrintable(stage));

        for (const QString& path : std::as_const(allPaths)) {
            const QString broken = brokenPath(installation.path(), from, to, path);
            QVERIFY2(broken.isEmpty(), qPrintable(u"after kill %1: %2"_s.arg(kills).arg(broken)));
        }
        // Nothing complete is fetched again by a later run.
        const QStringList again = fetchedAgain();
        QVERIFY2(again.isEmpty(),
                 qPrintable(again.join(u' ') + u" fetched again by:\n"_s + installation.logText()));
        for (const QString& session : installation.sessionDirectories())
            fetchedWhole += completeDownloads(installation.systemTempPath() + u'/' + session,
                                              mirror.filePath(u"2"_s));
        fetchedWhole.removeDuplicates();
        if (stage == u"commit" || stage == u"deletions" || stage == u"clean-up") {
            installation.start(arguments);
            const QString problem = finishedRunProblem();
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QVERIFY(startOver());
        }
    }
    qInfo() << "kills by stage:" << killsByStage;
    int planned = 0;
    for (const KillStage& stage : stages) {
        planned += stage.share;
        QVERIFY2(killsByStage.value(stage.name) >= stage.share,
                 qPrintable(u"%1 kills in the %2"_s.arg(killsByStage.value(stage.name))
                                    .arg(stage.name)));
    }
    QVERIFY2(kills >= planned, qPrintable(u"only %1 kills"_s.arg(kills)));

    // The last run is let finish from where the kills left it.
    installation.start(arguments);
    const QString problem = finishedRunProblem();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(installation.sessionDirectories().isEmpty());
    QCOMPARE(QDir(installation.systemTempPath())
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                     .filter(u"sonavelle_temp_"_s),
             QStringList());
    COMPARE_TREES(TreeSnapshot::take(installation.homePath()), homeBefore);
}

// A run killed in its replacement, then a restart of the machine, which empties the system's
// temporary directory: the next start undoes the run from what the application root holds
// alone, and a later run installs the new version.
void TestEndToEnd::killedInTheReplacementAndRebootedIsUndone()
{
    ManyFileRun run;
    QVERIFY(prepare(run));
    const QTemporaryDir& mirror = run.mirror;
    Installation& installation = run.installation;
    const TreeSnapshot before = TreeSnapshot::take(installation.path());
    const QStringList arguments{u"--nouser"_s, clientType, u"2"_s};

    installation.start(arguments);
    QVERIFY2(installation.seen({{"\nadd/replace ", 10}}) == 0, qPrintable(installation.logText()));
    installation.kill();
    QDirIterator backups(installation.path(), {u"_old_*"_s}, QDir::Files,
                         QDirIterator::Subdirectories);
    QVERIFY2(backups.hasNext(), "killed before any file was replaced");
    QDir systemTemp(installation.systemTempPath());
    QVERIFY(systemTemp.removeRecursively() && systemTemp.mkpath(u"."_s));

    // The mirror withholds version 2 from the next start: whatever it changes is the repair.
    QVERIFY(QDir(mirror.path()).rename(u"2"_s, u"2.withheld"_s));
    installation.start(arguments);
    QVERIFY2(installation.endsCancelled(), qPrintable(installation.logText()));
    TreeSnapshot repaired = TreeSnapshot::take(installation.path());
    TreeSnapshot unchanged = before;
    repaired.remove(u"update.ini"_s); // it records the session now
    repaired.remove(u".update.lock"_s);
    unchanged.remove(u"update.ini"_s);
    COMPARE_TREES(repaired, unchanged);

    QVERIFY(QDir(mirror.path()).rename(u"2.withheld"_s, u"2"_s));
    installation.start(arguments);
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, run.from, run.to, installation.path()));
}

// A run killed once its replacement has committed has installed version 2 all the same: the next
// start records it, and an update server that announces version 1 then cannot bring that back.
void TestEndToEnd::killedAfterTheCommitKeepsTheNewVersionRecorded()
{
    ManyFileRun run;
    QVERIFY(prepare(run));
    Installation& installation = run.installation;
    QVERIFY(installation.writeSettings(
            "[update]\nstreams=4\n[installed]\nversion=1\nchannel=stable\n"));
    const TreeSnapshot before = TreeSnapshot::take(installation.path());
    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.seen({{"\nStarting deleting files\n", 1}}) == 0,
             qPrintable(installation.logText()));
    installation.kill();
    QVERIFY2(!installation.logText().contains(u"Update successfully finished"_s),
             "killed after the run had ended");

    UpdateServer server;
    QVERIFY(server.start({u"--stable"_s, u"1"_s, u"--banner-image"_s, QString()}));
    installation.start({u"--nouser"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    QVERIFY2(installation.logText().contains(u"Not installing version 1 that the update server "
                                             u"announces: version 2 is installed"_s),
             qPrintable(installation.logText()));
    QCOMPARE(QSettings(installation.path(u"update.ini"_s), QSettings::IniFormat)
                     .value(u"installed/version"_s)
                     .toInt(),
             2);
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, run.from, run.to, installation.path()));
}

// A second start hands over to the running updater's window through its socket; one that cannot
// reach that socket (another temporary directory) is kept off by the lock file alone. Neither
// disturbs the run.
void TestEndToEnd::secondStartDuringARunEndsAtOnce()
{
    SlowRun run;
    QVERIFY(startInTheDownloads(run));
    Installation& installation = run.installation;
    QTemporaryDir otherTemp;
    for (const bool socketReached : {true, false}) {
        QProcess second;
        QProcessEnvironment environment = installation.environment();
        if (!socketReached)
            environment.insert(u"TMPDIR"_s, otherTemp.path());
        second.setProcessEnvironment(environment);
        second.setWorkingDirectory(installation.path());
        second.start(installation.program(), {u"--nouser"_s, clientType, u"2"_s});
        QVERIFY(second.waitForFinished(runTimeout));
        const QByteArray output = second.readAllStandardError();
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QVERIFY2(second.exitCode() == (socketReached ? 0 : 3), output.constData());
        QCOMPARE(output.contains("Another updater is already working on"), !socketReached);
        QVERIFY(installation.running());
    }
    QCOMPARE(QDir(otherTemp.path()).entryList({u"sonavelle_temp_*"_s}, QDir::Dirs), QStringList());

    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    QCOMPARE(readFile(installation.path(u"lib/libvoice.so"_s)), "voice library 2"_ba);
}

// The product ini, its signature, the files and the banner image of an unattended run, then the
// change log its window opens: nginx sees every request come from the proxy of "update.ini".
void TestEndToEnd::everyRequestGoesThroughTheProxy()
{
    if (QByteArray(TINYPROXY_PROGRAM).isEmpty())
        QSKIP("tinyproxy not found (scripts/setup installs it)");
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    QVERIFY(writeFile(mirror.filePath(u"banner.png"_s), "banner image"_ba));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Proxy proxy(work.path());
    QVERIFY2(proxy.start(), proxy.log().constData());
    UpdateServer server;
    QVERIFY(server.start({u"--stable"_s, u"2"_s, u"--banner-image"_s, nginx.url(u"banner.png"_s)}));
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));
    QVERIFY(installation.writeSettings("[update]\nstreams=4\nproxy=" + proxy.url().toUtf8() +
                                       '\n'));

    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    // The service tells the banner's address to any program that asks its fixed port, other
    // updaters on this machine too: only the proxy's log shows who fetched it.
    const QByteArray bannerRequest = "GET " + nginx.url(u"banner.png"_s).toUtf8() + " HTTP";
    QVERIFY2(proxy.log().contains(bannerRequest), proxy.log().constData());

    Configuration configuration{InstallationLayout(installation.path())};
    configuration.clientType = clientType;
    configuration.clientVersion = 2;
    {
        MainWindow window(configuration, [] {});
        window.findChild<QPushButton*>(u"changelogButton"_s)->click();
        QVERIFY(ChangeLogViewer::instance());
        auto* text = ChangeLogViewer::instance()->findChild<QTextEdit*>(u"changeLogTextEdit"_s);
        QTRY_COMPARE_WITH_TIMEOUT(text->toPlainText(), u"Version 2"_s, 10000);
        // Qt 6.4 leaks the callback of a host lookup whose receiver is gone before the answer.
        auto* banner = window.findChild<Banner*>();
        QTRY_VERIFY(!banner || banner->state() != Banner::State::Resolving);
    }

    const QStringList requested = nginx.requestedPaths();
    for (const QString& path : {u"/2/client_linux_amd64.ini"_s, u"/2/client_linux_amd64.ini.sig"_s,
                                u"/2/changelog_client.txt"_s})
        QVERIFY2(requested.contains(path), qPrintable(requested.join(u' ')));
    QVERIFY2(!requested.filter(u"maps.dat"_s).isEmpty(), qPrintable(requested.join(u' ')));
    QStringList direct = nginx.directRequests();
    direct.removeIf([](const QString& line) { return line.contains(u"GET /banner.png "_s); });
    QVERIFY2(direct.isEmpty(), qPrintable(direct.join(u'\n')));
}

namespace {

// The first change to a path below root in an "strace -f" trace of a program working there that
// comes before its record was written to the journal and that write synced: every successful
// rename, link, unlink and mkdir. A backup or a part file is announced by its own record or by
// its target's. The counts show that the check had something to check.
QString firstChangeAhead(const QByteArray& trace, const QString& root, int& changes, int& syncs)
{
    static const QRegularExpression call(u"^(\\d+) +(\\w+)\\((.*)\\) += (-?\\d+)"_s);
    static const QRegularExpression piece(
            u"^(\\d+) +(<\\.\\.\\. \\w+ resumed>)?(.*?)( <unfinished \\.\\.\\.>)?$"_s);
    static const QRegularExpression quoted(u"\"((?:[^\"\\\\]|\\\\.)*)\""_s);
    static const QRegularExpression prefix(u"(^|/)(_old_|\\.sonavelle_part_)"_s);
    static const QRegularExpression changing(u"^(rename|link|unlink|mkdir)(at2?)?$"_s);
    const QString journal = u".update.journal"_s;
    QHash<QString, QString> started; // a call another thread interrupted, by thread
    QSet<int> journalFds;
    QSet<QString> written;
    QSet<QString> durable;
    for (const QByteArray& bytes : trace.split('\n')) {
        const auto part = piece.match(QString::fromUtf8(bytes));
        const QString text = (part.hasCaptured(2) ? started.take(part.captured(1)) : QString()) +
                             part.captured(3);
        if (part.hasCaptured(4)) {
            started.insert(part.captured(1), text);
            continue;
        }
        const auto found = call.match(part.captured(1) + u' ' + text);
        if (!found.hasMatch() || found.captured(4).toInt() < 0)
            continue;
        const QString name = found.captured(2);
        const int fd = found.captured(3).section(u',', 0, 0).toInt();
        QStringList texts; // the quoted arguments
        QStringList paths; // the same, relative to the root where they lie below it
        for (auto it = quoted.globalMatch(found.captured(3)); it.hasNext();) {
            texts << it.next().captured(1).replace(u"\\t"_s, u"\t"_s).replace(u"\\n"_s, u"\n"_s);
            const QString path = QDir::cleanPath(QDir(root).filePath(texts.last()));
            paths << (path.startsWith(root + u'/') ? path.mid(root.size() + 1) : texts.last());
        }
        if (name.startsWith(u"open"_s) && paths.contains(journal)) {
            journalFds.insert(found.captured(4).toInt());
        } else if (name == u"close") {
            journalFds.remove(fd);
        } else if (name == u"write" && journalFds.contains(fd)) {
            for (const QString& record : texts.value(0).split(u'\n'))
                written.insert(QDir::cleanPath(record.section(u'\t', 1, 1)));
        } else if (name.contains(u"sync"_s) && journalFds.contains(fd)) {
            ++syncs;
            durable.unite(std::exchange(written, {}));
        } else if (changing.match(name).hasMatch()) {
            for (const QString& path : std::as_const(paths)) {
                if (QDir::isAbsolutePath(path) || path == journal ||
                    path.startsWith(u"update.ini"_s))
                    continue; // outside the root, or the settings with their lock file
                ++changes;
                if (!durable.contains(path) &&
                    !durable.contains(QString(path).replace(prefix, u"\\1"_s)))
                    return u"%1 changed before a record of it was on the disk:\n%2"_s.arg(path,
                                                                                          text);
            }
        }
    }
    return {};
}

} // namespace

// One update, traced: every file and directory it changes in the application root, it changes
// only once the journal's record of that change is on the disk.
void TestEndToEnd::everyChangeFollowsItsRecordOnTheDisk()
{
    const QString strace = fromBuild(STRACE_PROGRAM);
    if (strace.isEmpty())
        QSKIP("strace not found (scripts/setup installs it)");
    if (runTool(strace, {u"-o"_s, u"/dev/null"_s, u"true"_s}).exitCode != 0)
        QSKIP("strace cannot trace programs here");
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));
    const QString trace = work.filePath(u"update.strace"_s);

    installation.start({u"--nouser"_s, clientType, u"2"_s},
                       {strace, u"-f"_s, u"-e"_s, u"trace=file,desc"_s, u"-s"_s, u"1000000"_s,
                        u"-o"_s, trace});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    int changes = 0;
    int syncs = 0;
    const QString ahead = firstChangeAhead(
            readFile(trace), QFileInfo(installation.path()).canonicalFilePath(), changes, syncs);
    QVERIFY2(ahead.isEmpty(), qPrintable(ahead));
    QVERIFY2(changes > 0 && syncs > 0,
             qPrintable(u"%1 changes, %2 syncs of the journal"_s.arg(changes).arg(syncs)));
}

// Ten starts at once against a slow mirror: whichever gets the lock works, the others end without
// working, and no two ever work at the same time, as the order in which the test hears them start
// their updates and end shows. A start that comes only after the worker has ended may work too.
void TestEndToEnd::tenSimultaneousStartsRunOneUpdater()
{
    SlowRun run;
    QVERIFY(prepare(run));
    Installation& installation = run.installation;
    const TreeSnapshot before = TreeSnapshot::take(installation.path());
    struct Start
    {
        QProcess process;
        QByteArray log;
        int working = 0; // when it was heard to start its update, 0 when never
        int ended = 0;
    };
    std::vector<std::unique_ptr<Start>> starts(10);
    int events = 0;
    for (auto& start : starts) {
        start = std::make_unique<Start>();
        Start* self = start.get();
        const auto read = [self, &events] {
            self->log += self->process.readAllStandardError();
            if (!self->working && self->log.contains("\nStarting update process\n"))
                self->working = ++events;
        };
        connect(&self->process, &QProcess::readyReadStandardError, this, read);
        connect(&self->process, &QProcess::finished, this, [self, read, &events] {
            read();
            self->ended = ++events;
        });
        self->process.setProcessEnvironment(installation.environment());
        self->process.start(installation.program(), {u"--nouser"_s, clientType, u"2"_s});
    }
    QVERIFY(waitUntil(
            [&] {
                return std::all_of(starts.begin(), starts.end(), [](auto& s) { return s->ended; });
            },
            runTimeout * 2));

    std::vector<Start*> workers;
    for (const auto& start : starts) {
        QVERIFY2(start->process.exitCode() == 0 || start->process.exitCode() == 3,
                 start->log.constData());
        if (start->working) {
            QVERIFY2(start->log.contains("\nUpdate successfully finished\n"),
                     start->log.constData());
            workers.push_back(start.get());
        }
    }
    QVERIFY(!workers.empty());
    qInfo("%zu of the starts worked", workers.size());
    std::sort(workers.begin(), workers.end(),
              [](Start* a, Start* b) { return a->working < b->working; });
    for (size_t i = 1; i < workers.size(); ++i)
        QVERIFY2(workers[i - 1]->ended < workers[i]->working, workers[i]->log.constData());
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, versionOne(), run.files, installation.path()));
}

void TestEndToEnd::versionRepublishedAfterAKilledRunIsInstalled()
{
    SlowRun run;
    QVERIFY(startInTheDownloads(run));
    run.installation.kill();
    ClientFiles republished = versionTwo();
    republished[u"data/video/intro.bin"_s] = repeated("intro frame, recut ", 20000);
    republished[u"lib/libvoice.so"_s] = "voice library 2, rebuilt"_ba;
    QVERIFY(publish(2, republished, run.mirror.path(), clientDirectory(1), {}, {u"--replace"_s}));

    run.installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(run.installation.finishes(), qPrintable(run.installation.logText()));
    QVERIFY(run.installation.logText().contains(u"its downloads are discarded"_s));
    for (const QString& path : {u"data/video/intro.bin"_s, u"lib/libvoice.so"_s})
        QCOMPARE(readFile(run.installation.path(path)), republished.value(path));
}

void TestEndToEnd::updateServerCannotHoldBackOrTakeBack_data()
{
    QTest::addColumn<QString>("channelKey"); // signs a statement naming 3; none when empty
    QTest::addColumn<int>("expiresInDays");
    QTest::addColumn<QByteArray>("installed"); // the record of "update.ini"
    QTest::addColumn<int>("expectedVersion");  // 1: nothing installed
    QTest::addColumn<QString>("logLine");
    const QString channelKey = fromBuild(DEVELOPMENT_CHANNEL_KEY);
    QTest::newRow("downgrade announced by the update server")
            << QString() << 0 << "[installed]\nversion=3\nchannel=stable\n"_ba << 1
            << u"Not installing version 2 that the update server announces: version 3 is "
               u"installed"_s;
    QTest::newRow("older version on another channel before")
            << QString() << 0 << "[installed]\nversion=3\nchannel=beta\n"_ba << 2
            << u"Update successfully finished"_s;
    QTest::newRow("frozen update server, newer signed statement")
            << channelKey << 7 << QByteArray() << 3
            << u"The update server announces version 2, the signed channel statement 3: "
               u"installing 3"_s;
    QTest::newRow("expired statement") << channelKey << -1 << QByteArray() << 3
                                       << u"Warning: the update channels were last confirmed on "_s;
    QTest::newRow("statement signed by another key")
            << fromBuild(DEVELOPMENT_MANIFEST_KEY) << 7 << QByteArray() << 2
            << u"refused: the Ed25519 signature does not match"_s;
    QTest::newRow("older version announced, no withdrawal signed")
            << channelKey << 7 << "[installed]\nversion=3\nchannel=stable\n"_ba << 3
            << u"The update server announces version 2, the signed channel statement 3: "
               u"installing 3"_s;
    QTest::newRow("statement signed before the one accepted earlier")
            << channelKey << 7
            << "[installed]\nversion=3\nchannel=stable\n[statement]\nsigned=2099-01-01T00:00:00Z\n"_ba
            << 1 << u"refused: it was signed at "_s;
    QTest::newRow("statement naming less than the version confirmed before")
            << channelKey << 7 << "[confirmed]\nstable=4\n"_ba << 2
            << u"refused: it names version 3 for channel stable, which was confirmed at "
               u"version 4 "
               u"before"_s;
}

void TestEndToEnd::updateServerCannotHoldBackOrTakeBack()
{
    QFETCH(QString, channelKey);
    QFETCH(int, expiresInDays);
    QFETCH(QByteArray, installed);
    QFETCH(int, expectedVersion);
    QFETCH(QString, logLine);
    if (!channelKey.isEmpty() && !readsStatements)
        QSKIP("this updater is built without a manifest or channel key: it reads no statement");

    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    QVERIFY(publish(3, versionThree(), mirror.path(), clientDirectory(1)));
    if (!channelKey.isEmpty())
        QVERIFY(signChannelStatement(mirror.path(), channelKey, expiresInDays));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    UpdateServer server;
    QVERIFY(server.start({u"--stable"_s, u"2"_s, u"--banner-image"_s, QString()}));
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));
    QVERIFY(installation.writeSettings("[update]\nstreams=4\n" + installed));
    const TreeSnapshot before = TreeSnapshot::take(installation.path());

    installation.start({u"--nouser"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(expectedVersion));
    QVERIFY2(installation.logText().contains(logLine), qPrintable(installation.logText()));
    const ClientFiles target =
            QList{versionOne(), versionTwo(), versionThree()}[expectedVersion - 1];
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, versionOne(), target, installation.path()));
    QSettings settings(installation.path(u"update.ini"_s), QSettings::IniFormat);
    QCOMPARE(settings.value(u"installed/version"_s).toInt(),
             expectedVersion == 1 ? 3 : expectedVersion);
}

bool TestEndToEnd::prepare(ProbationRun& run, int probation)
{
    return publish(2, run.two, run.mirror.path(), clientDirectory(1)) && run.nginx.start() &&
           run.server.start({u"--stable"_s, u"2"_s, u"--banner-image"_s, QString()}) &&
           installVersionOne(run.installation, {run.nginx.url(QString())}) &&
           run.installation.writeSettings(
                   "[update]\nstreams=4\nprobation=" + QByteArray::number(probation) +
                   "\n[installed]\nversion=1\nchannel=stable\n");
}

void TestEndToEnd::firstStartDecides_data()
{
    QTest::addColumn<QByteArray>("scriptEnd");
    QTest::addColumn<bool>("good");
    QTest::addColumn<QString>("reason");
    QTest::newRow("crashes") << "kill -SEGV $$\n"_ba << false << u"with signal 11"_s;
    QTest::newRow("fails") << "exit 1\n"_ba << false << u"with status 1"_s;
    QTest::newRow("starts well") << "exit 0\n"_ba << true << QString();
}

// A start that fails puts back exactly version 1 and starts its client, and a later run does not
// install version 2 again; a good one ends the probation with nothing kept.
void TestEndToEnd::firstStartDecides()
{
    QFETCH(QByteArray, scriptEnd);
    QFETCH(bool, good);
    QFETCH(QString, reason);
    ProbationRun run(scriptEnd);
    QVERIFY(prepare(run, 20));
    Installation& installation = run.installation;
    const TreeSnapshot before = TreeSnapshot::take(installation.path());

    installation.start({u"--nouser"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(good ? 2 : 1));
    QVERIFY(run.journalGone());
    QSettings settings(installation.path(u"update.ini"_s), QSettings::IniFormat);
    QCOMPARE(settings.value(u"installed/version"_s).toInt(), good ? 2 : 1);
    QCOMPARE(settings.value(u"refused/version"_s).toInt(), good ? 0 : 2);
    QVERIFY2(settings.value(u"refused/reason"_s).toString().contains(reason),
             qPrintable(settings.value(u"refused/reason"_s).toString()));
    COMPARE_TREES(
            TreeSnapshot::take(installation.path()),
            expectedTree(before, versionOne(), good ? run.two : versionOne(), installation.path()));
    if (good)
        return;

    // Told once, and version 2 is not installed again.
    QVERIFY(QFile::remove(installation.path(marker)));
    installation.start({u"--nouser"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(1));
    const QString log = installation.logText();
    QVERIFY2(log.contains(u"Version 2 did not start and was replaced by 1 again"_s) &&
                     log.contains(u"Not installing version 2: it failed its first start here"_s),
             qPrintable(log));
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, versionOne(), versionOne(), installation.path()));
}

// A watcher killed during the probation leaves version 2 on it; the next start ends it.
void TestEndToEnd::watcherKilledDuringTheProbation()
{
    ProbationRun run("echo $$ > \"$(dirname \"$0\")/client.pid\"\nexec sleep 60\n");
    QVERIFY(prepare(run, 60));
    Installation& installation = run.installation;
    installation.start({u"--nouser"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    // The client's parent is the watcher.
    QVERIFY(waitUntil([&] { return QFileInfo::exists(installation.path(u"client.pid"_s)); },
                      10000));
    const pid_t client = readFile(installation.path(u"client.pid"_s)).trimmed().toInt();
    const auto stopClient = qScopeGuard([client] { ::kill(client, SIGKILL); });
    const QByteArray status = readFile(u"/proc/%1/status"_s.arg(client));
    const qsizetype parent = status.indexOf("\nPPid:");
    QVERIFY(parent >= 0);
    const pid_t watcher =
            status.mid(parent + 6, status.indexOf('\n', parent + 1) - parent - 6).trimmed().toInt();
    QVERIFY(readFile(u"/proc/%1/cmdline"_s.arg(watcher)).contains("--watch-first-start"));
    QCOMPARE(::kill(watcher, SIGKILL), 0);
    QVERIFY(QFileInfo::exists(installation.path(u"lib/_old_libvoice.so"_s)));

    installation.start({u"--nouser"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY2(installation.logText().contains(
                     u"Version 2 has started since it was installed: its probation ends"_s),
             qPrintable(installation.logText()));
    QVERIFY(!QFileInfo::exists(installation.path(u"lib/_old_libvoice.so"_s)));
    QVERIFY(!QFileInfo::exists(installation.path(u"share/_old_old_manual.txt"_s)));
    QVERIFY(!QFileInfo::exists(installation.path(u".update.journal"_s)));
}

// Two mirrors that stall on the statement come first in the list; or the client passes a version
// that the statement withdrew, as it had it from a spoofed update server.
void TestEndToEnd::stalledMirrorsOrTheClientCannotBypassTheStatement_data()
{
    QTest::addColumn<int>("stalledMirrors");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("two stalled mirrors before a good one")
            << 2 << QStringList{u"--nouser"_s}
            << u"The update server announces version 3, the signed channel statement 2"_s;
    QTest::newRow("the client passes a withdrawn version")
            << 0 << QStringList{u"--nouser"_s, clientType, u"3"_s}
            << u"The client names version 3, the signed channel statement 2: installing 2"_s;
}

void TestEndToEnd::stalledMirrorsOrTheClientCannotBypassTheStatement()
{
    QFETCH(int, stalledMirrors);
    QFETCH(QStringList, arguments);
    QFETCH(QString, logLine);
    if (!readsStatements)
        QSKIP("this updater is built without a manifest or channel key: it reads no statement");
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    QVERIFY(publish(3, versionThree(), mirror.path(), clientDirectory(1)));
    QVERIFY(changeChannels(mirror.path(), {u"--channel"_s, u"stable=3"_s}));
    QVERIFY(changeChannels(mirror.path(), {u"--withdraw"_s, u"stable=3"_s, u"--to"_s, u"2"_s}));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    // Headers, then silence; any other path is missing, so the downloads leave these mirrors.
    TestHttpServer stalling;
    QStringList mirrors;
    for (int i = 0; i < stalledMirrors; ++i) {
        const QString base = u"/stalled%1/"_s.arg(i);
        for (const QString& name : {ChannelStatement::fileName(clientType),
                                    ChannelStatement::signatureFileName(clientType)})
            stalling.setRoute(base + name, TestHttpServer::Behaviour::stall(QByteArray(64, 'x')));
        mirrors << stalling.url(base).toString();
    }
    UpdateServer server;
    QVERIFY(server.start({u"--stable"_s, u"3"_s, u"--banner-image"_s, QString()}));
    Installation installation;
    QVERIFY(installVersionOne(installation, mirrors + QStringList{nginx.url(QString())}));

    installation.start(arguments);
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    QVERIFY2(installation.logText().contains(logLine), qPrintable(installation.logText()));
}

// Once an installation has accepted a statement, no mirror can take it back behind it: not a
// statement from before a halt served again, nor no statement at all while the update server
// announces a version the statement never allowed.
void TestEndToEnd::withheldOrReplayedStatementGivesNothingNew()
{
    if (!readsStatements)
        QSKIP("this updater is built without a manifest or channel key: it reads no statement");
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    QVERIFY(publish(3, versionThree(), mirror.path(), clientDirectory(1)));
    QVERIFY(changeChannels(mirror.path(), {u"--channel"_s, u"stable=3"_s, u"--rollout"_s, u"50%"_s,
                                           u"--from"_s, u"2"_s}));
    const QString statementPath = mirror.filePath(ChannelStatement::fileName(clientType));
    const QString signaturePath = mirror.filePath(ChannelStatement::signatureFileName(clientType));
    const QByteArray beforeHalt = readFile(statementPath);
    const QByteArray beforeHaltSignature = readFile(signaturePath);
    QVERIFY(changeChannels(mirror.path(), {u"--halt"_s, u"stable"_s}));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    UpdateServer server;
    QVERIFY(server.start({u"--stable"_s, u"3"_s, u"--banner-image"_s, QString()}));
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));
    QVERIFY(installation.writeSettings("[update]\nstreams=4\n[rollout]\nbucket=0\n"));
    const auto runStaysOnTwo = [&](const QString& logLine) {
        QFile::remove(installation.path(marker));
        installation.start({u"--nouser"_s});
        return installation.finishes() && installation.clientStarted(2) &&
               installation.logText().contains(logLine);
    };
    QVERIFY2(runStaysOnTwo(u"the signed channel statement 2: installing 2"_s),
             qPrintable(installation.logText()));

    QVERIFY(writeFile(statementPath, beforeHalt) && writeFile(signaturePath, beforeHaltSignature));
    QVERIFY2(runStaysOnTwo(u"The update channels could not be confirmed (1 mirror served one that "
                           u"was refused): staying on version 2"_s),
             qPrintable(installation.logText()));

    QVERIFY(QFile::remove(statementPath));
    QVERIFY2(runStaysOnTwo(u"The update channels could not be confirmed (1 mirror published "
                           u"none): staying on version 2"_s),
             qPrintable(installation.logText()));
}

// Twenty fresh installations with fixed buckets, while version 3 rolls out over 2: exactly those
// below the share take it; widening moves the next ones and none back; a halt gives it to no one
// new and leaves it where it is; withdrawing it takes its installations back to 2.
void TestEndToEnd::stagedRolloutWidensHaltsAndWithdraws()
{
    if (!readsStatements)
        QSKIP("this updater is built without a manifest or channel key: it reads no statement");
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    QVERIFY(publish(3, versionThree(), mirror.path(), clientDirectory(1)));
    QVERIFY(changeChannels(mirror.path(), {u"--channel"_s, u"stable=3"_s, u"--rollout"_s, u"30%"_s,
                                           u"--from"_s, u"2"_s}));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    // As older updaters are told: the version outside the rollout.
    UpdateServer server;
    QVERIFY(server.start({u"--stable"_s, u"2"_s, u"--banner-image"_s, QString()}));
    std::vector<std::unique_ptr<Installation>> owned;
    std::vector<Installation*> all;
    const auto add = [&](int bucket) {
        auto installation = std::make_unique<Installation>();
        const bool ready = installVersionOne(*installation, {nginx.url(QString())}) &&
                           installation->writeSettings("[update]\nstreams=4\n[rollout]\nbucket=" +
                                                       QByteArray::number(bucket) + '\n');
        owned.push_back(std::move(installation));
        return ready ? owned.back().get() : nullptr;
    };
    QList<int> atThirty;
    QList<int> atSixty;
    for (int bucket = 0; bucket < 10000; bucket += 500) {
        all.push_back(add(bucket));
        QVERIFY(all.back());
        atThirty.append(bucket < 3000 ? 3 : 2);
        atSixty.append(bucket < 6000 ? 3 : 2);
    }
    QVERIFY(runEach(all, atThirty));
    QVERIFY(changeChannels(mirror.path(), {u"--refresh-channels"_s, u"--rollout"_s, u"60%"_s}));
    QVERIFY(runEach(all, atSixty));

    QVERIFY(changeChannels(mirror.path(), {u"--halt"_s, u"stable"_s}));
    Installation* inside = add(0);
    QVERIFY(inside);
    QVERIFY(runEach({inside, all.front()}, {2, 3}));

    QVERIFY(changeChannels(mirror.path(), {u"--withdraw"_s, u"stable=3"_s, u"--to"_s, u"2"_s}));
    QVERIFY(runEach({all.front()}, {2}));
    QVERIFY(all.front()->logText().contains(u"Version 3 was withdrawn: going back to version 2"_s));
}

// Version 3 adds a plugin, a packed data file and notes that the user then edits; withdrawn, it
// leaves exactly 2's tree but for the edited notes.
void TestEndToEnd::withdrawalEndsOnTheOlderTree()
{
    if (!readsStatements)
        QSKIP("this updater is built without a manifest or channel key: it reads no statement");
    ClientFiles three = versionThree();
    three[u"plugins/libecho.so"_s] = "echo plugin"_ba;
    three[u"data/effects.dat"_s] = repeated("effect ", 500);
    three[u"share/notes.txt"_s] = "notes of 3\n"_ba;
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    QVERIFY(publish(3, three, mirror.path(), clientDirectory(2)));
    QVERIFY(changeChannels(mirror.path(), {u"--channel"_s, u"stable=3"_s}));
    QVERIFY(changeChannels(mirror.path(), {u"--withdraw"_s, u"stable=3"_s, u"--to"_s, u"2"_s}));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    UpdateServer server;
    QVERIFY(server.start({u"--stable"_s, u"2"_s, u"--banner-image"_s, QString()}));
    Installation installation;
    three[u"share/notes.txt"_s] = "my own notes\n"_ba;
    QVERIFY(writeClient(installation.path(), three) &&
            installation.writeMirrors({nginx.url(QString())}) &&
            installation.writeSettings(
                    "[update]\nstreams=4\n[installed]\nversion=3\nchannel=stable\n"));
    const TreeSnapshot before = TreeSnapshot::take(installation.path());

    installation.start({u"--nouser"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    QVERIFY(installation.clientStarted(2));
    QVERIFY2(installation.logText().contains(
                     u"Kept share/notes.txt: it was changed after version 3 installed it"_s),
             qPrintable(installation.logText()));
    ClientFiles target = versionTwo();
    target[u"share/notes.txt"_s] = three.value(u"share/notes.txt"_s);
    COMPARE_TREES(TreeSnapshot::take(installation.path()),
                  expectedTree(before, three, target, installation.path()));
}

// A new packed helper, a data file and a current helper that earlier updaters left not executable.
// The run has umask 0, so that a mode the updater does not set shows.
void TestEndToEnd::newExecutableFile()
{
    if (!checksManifests)
        QSKIP("file modes are recorded in the release manifest only");
    ClientFiles files = versionTwo();
    const QString helper = u"bin/uploader"_s;
    files[helper] = "#!/bin/sh\necho uploaded\n"_ba;
    files[u"bin/relay.dat"_s] = "#!/bin/sh\n" + repeated("# relay ", 300);
    files[u"bin/reporter.cfg"_s] = "upload=never\n"_ba;
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, files, mirror.path(), clientDirectory(1)));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));
    QVERIFY(writeFile(installation.path(helper), files[helper]));

    installation.start({u"--nouser"_s, clientType, u"2"_s},
                       {u"/bin/sh"_s, u"-c"_s, u"umask 0 && exec \"$@\""_s, u"sh"_s});
    QVERIFY2(installation.finishes(), qPrintable(installation.logText()));
    const TreeSnapshot after = TreeSnapshot::take(installation.path());
    QCOMPARE(after.entries().value(helper).mode, 0755u);
    QCOMPARE(after.entries().value(u"bin/relay.dat"_s).mode, 0755u); // packed
    QCOMPARE(after.entries().value(u"bin/reporter.cfg"_s).mode, 0644u);
}

// A mirror that sends endless data for a file the release lists as empty: not one byte of it is
// taken, and the run ends cancelled when no other mirror is left.
void TestEndToEnd::endlessDataForAnEmptyFile()
{
    QTemporaryDir mirror;
    QTemporaryDir work;
    ClientFiles files = versionTwo();
    files[u"data/empty.cfg"_s] = QByteArray();
    QVERIFY(publish(2, files, mirror.path(), clientDirectory(1)));
    const QString path = mirrorPath(mirror.filePath(u"2"_s), u"data/empty.cfg"_s);
    QFile endless(mirror.filePath(u"2/"_s + path));
    constexpr qint64 endlessSize = qint64(128) << 20; // sparse: costs no disk
    QVERIFY(endless.open(QIODevice::WriteOnly) && endless.resize(endlessSize));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));

    installation.start({u"--nouser"_s, clientType, u"2"_s});
    QVERIFY2(installation.endsCancelled(), qPrintable(installation.logText()));
    // Hung up on long before the end: nginx sent what its buffers took (the log's 8th field). It
    // logs the request once it has noticed the hang-up.
    QStringList sent;
    waitUntil(
            [&] { return !(sent = nginx.directRequests().filter(u"GET /2/"_s + path)).isEmpty(); },
            20000);
    QVERIFY2(sent.size() == 1 && sent[0].section(u' ', 7, 7).toLongLong() < endlessSize / 4,
             qPrintable(sent.join(u'\n')));
    QDirIterator it(installation.systemTempPath(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        QVERIFY2(it.nextFileInfo().size() < 1 << 20, qPrintable(it.filePath()));
}

// Markup in the news and the version name that would make the text document read /dev/zero: an
// unattended run shows both and still updates and starts the client.
void TestEndToEnd::imageOfDevZeroAsNews()
{
    ManyFileRun run;
    QVERIFY(prepare(run));
    const QString image = u"<img src=\"/dev/zero\">"_s;
    run.installation.start({u"--nouser"_s, clientType, u"2"_s, image, u"News "_s + image});
    QVERIFY2(run.installation.finishes(), qPrintable(run.installation.logText()));
    QVERIFY(run.installation.clientStarted(2));
}

// With an invalid proxy the error ends the program before anything leaves: the mirror (nginx, with
// the release), the update server and the banner service (sockets of the test on their ports)
// hear nothing.
void TestEndToEnd::invalidProxySendsNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("version from the update server") << QStringList{u"--nouser"_s};
    QTest::newRow("version given") << QStringList{u"--nouser"_s, clientType, u"2"_s};
}

void TestEndToEnd::invalidProxySendsNothing()
{
    QFETCH(QStringList, arguments);
    QUdpSocket updateServer;
    QUdpSocket bannerService;
    QVERIFY(updateServer.bind(QHostAddress::LocalHost, 17384));
    QVERIFY(bannerService.bind(QHostAddress::LocalHost, 2009));
    QTemporaryDir mirror;
    QTemporaryDir work;
    QVERIFY(publish(2, versionTwo(), mirror.path(), clientDirectory(1)));
    Nginx nginx(mirror.path(), work.path());
    QVERIFY2(nginx.start(), nginx.errorLog().constData());
    Installation installation;
    QVERIFY(installVersionOne(installation, {nginx.url(QString())}));
    QVERIFY(installation.writeSettings("[update]\nproxy=no proxy here\n"));

    installation.start(arguments);
    QVERIFY2(installation.logs("'no proxy here' is an invalid proxy specification\n"),
             qPrintable(installation.logText()));
    installation.stop();
    QVERIFY(!updateServer.hasPendingDatagrams());
    QVERIFY(!bannerService.hasPendingDatagrams());
    // nginx logs a request once it has answered it; one that came in is answered at once.
    nginx.stop();
    QCOMPARE(nginx.requestedPaths(), QStringList());
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
