#include "binarypatch.h"
#include "channelstatement.h"
#include "ed25519.h"
#include "productinireader.h"
#include "releasemanifest.h"
#include "testfiles.h"
#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <map>
#include <sys/stat.h>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

const QString clientType = u"testclient"_s;
const QByteArray clientBinary("binary\0\1\2 client", 17);

struct ToolRun
{
    int exitCode = -1;
    QStringList out;
    QStringList err;
};

QString keyFile(const QString& name)
{
    return QString::fromLocal8Bit(KEYS_DIR) + u'/' + name;
}

QString md5(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray sha256(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QByteArray gunzip(const QByteArray& packed)
{
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return {};
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.constData()));
    stream.avail_in = uInt(packed.size());
    QByteArray unpacked;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
        stream.avail_out = uInt(buffer.size());
        result = inflate(&stream, Z_NO_FLUSH);
        unpacked += buffer.left(buffer.size() - qsizetype(stream.avail_out));
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END ? unpacked : QByteArray("not a complete gzip stream");
}

// Every file and directory below root, relative to it, hidden ones included.
QStringList treeOf(const QString& root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        if (!info.isDir())
            entries.append(QDir(root).relativeFilePath(info.filePath()));
    }
    entries.sort();
    return entries;
}

QByteArray pattern(qsizetype size, char seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char(seed + (i % 7) * (i % 13));
    return data;
}

QByteArray noise(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(data.data()), size / 4);
    return data;
}

// The lists as the updater builds them; its order follows its INI reader, so both are sorted.
FileSpecifications sorted(FileSpecifications lists)
{
    const auto byPlace = [](const auto& a, const auto& b) {
        return std::tie(a.sourceDir, a.fileName) < std::tie(b.sourceDir, b.fileName);
    };
    std::sort(lists.downloadList.begin(), lists.downloadList.end(), byPlace);
    std::sort(lists.replaceList.begin(), lists.replaceList.end(), byPlace);
    lists.deleteList.sort();
    return lists;
}

bool buildLists(const QString& tempDir, const QString& appRoot, FileSpecifications& lists,
                QStringList& messages)
{
    ProductIniReader reader(clientType, SessionLayout(tempDir), InstallationLayout(appRoot));
    reader.setMessageSink([&messages](const QString& text) { messages.append(text); });
    return reader.read(lists);
}

} // namespace

class TestReleaseTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void publishesTheMirrorTree();
    void productIniDescribesEveryFile();
    void storedFilesGiveBackTheOriginals();
    void signatureVerifiesWithThePublicKey();
    void manifestDescribesTheMirrorTree_data();
    void manifestDescribesTheMirrorTree();
    void updaterBuildsTheExpectedLists();
    void deleteSectionFromPreviousProductIni();
    void deltasFromEarlierReleases_data();
    void deltasFromEarlierReleases();
    void awkwardNamesReachTheUpdaterUnchanged();
    void refusals_data();
    void refusals();
    void usageErrors_data();
    void usageErrors();
    void existingVersionIsReplacedOnlyOnRequest();
    void addManifestRefusals_data();
    void addManifestRefusals();
    void warnings_data();
    void warnings();
    void channelStatement_data();
    void channelStatement();

private:
    [[nodiscard]] ToolRun run(const QStringList& arguments) const;
    [[nodiscard]] QStringList standardArguments() const;
    [[nodiscard]] QStringList addManifestArguments() const;
    [[nodiscard]] ToolRun publishFixture() const;
    [[nodiscard]] QString client(const QString& name) const { return clientDir + u'/' + name; }
    [[nodiscard]] QString published(const QString& name) const
    {
        return mirrorRoot + u"/7/"_s + name;
    }
    [[nodiscard]] QStringList expectedWarnings(bool manifestSigned = true) const;

    std::unique_ptr<QTemporaryDir> dir;
    QString clientDir;
    QString previousDir;
    QString mirrorRoot;
    QString changelog;
    std::map<QString, QByteArray> fixture;
    bool developmentKeyBuiltIn = false;
    bool manifestKeyRejects = false;
};

void TestReleaseTool::initTestCase()
{
    crypt_init();
    // The tool warns when the key built into this build would not accept its signatures.
    const QByteArray probe = "probe";
    ScopedRsaKey privateKey;
    privateKey.load(keyFile(u"development_private.key"_s).toLocal8Bit().constData());
    unsigned char signature[512];
    unsigned long signatureSize = sizeof signature;
    sign_msg(privateKey.get(), reinterpret_cast<const unsigned char*>(probe.constData()),
             probe.size(), signature, &signatureSize);
    ScopedRsaKey builtIn;
    builtIn.load(PUBLIC_KEY, PUBLIC_KEY_SIZE);
    try {
        developmentKeyBuiltIn =
                verify_msg(builtIn.get(), reinterpret_cast<const unsigned char*>(probe.constData()),
                           probe.size(), signature, signatureSize);
    } catch (const crypt_exception&) {
        developmentKeyBuiltIn = false;
    }
    // Likewise for the manifest key; an updater built without one checks no manifest.
    const Result<QByteArray> manifestSignature =
            Ed25519::sign(readFile(keyFile(u"development_manifest_private.pem"_s)), probe);
    QVERIFY(manifestSignature.ok());
    manifestKeyRejects =
            !Ed25519::builtInKey().isEmpty() &&
            Ed25519::verify(Ed25519::builtInKey(), probe, manifestSignature.value()).failed();
}

void TestReleaseTool::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    clientDir = dir->filePath(u"client"_s);
    previousDir = dir->filePath(u"previous"_s);
    mirrorRoot = dir->filePath(u"mirror"_s);
    changelog = dir->filePath(u"changes.txt"_s);

    fixture = {
            {u"client.bin"_s, clientBinary},
            {u"lib/libvoice.so"_s, pattern(3000, 'a')},  // compressed by name
            {u"data/sounds.pak"_s, pattern(70000, 's')}, // compressed by size
            {u"data/readme.txt"_s, "read me\n"},
            {u"translations/de/update_de.qm"_s, pattern(500, 't')},
            {u"delete/notes.txt"_s, "a folder named like the delete section\n"},
            {u".hidden"_s, {}}, // empty and hidden, still a file
    };
    for (const auto& [name, content] : fixture)
        QVERIFY(writeFile(client(name), content));
    const QStringList previous{u"client.bin"_s, u"lib/libold.so"_s, u"obsolete.txt"_s,
                               u"data/readme.txt"_s};
    for (const QString& name : previous)
        QVERIFY(writeFile(previousDir + u'/' + name, "older"));
    QVERIFY(writeFile(changelog, "Version 7: better sound\n"));
}

ToolRun TestReleaseTool::run(const QStringList& arguments) const
{
    QProcess process;
    process.start(QString::fromLocal8Bit(RELEASE_PROGRAM), arguments);
    ToolRun result;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput()).split(u'\n');
    result.err = QString::fromLocal8Bit(process.readAllStandardError()).split(u'\n');
    // Every line ends with a line break; the empty text after the last one is no line.
    result.out.removeLast();
    result.err.removeLast();
    return result;
}

QStringList TestReleaseTool::standardArguments() const
{
    return {u"--client-version"_s,
            u"7"_s,
            u"--client-type"_s,
            clientType,
            u"--key"_s,
            keyFile(u"development_private.key"_s),
            u"--manifest-key"_s,
            keyFile(u"development_manifest_private.pem"_s),
            u"--changelog"_s,
            changelog,
            u"--previous"_s,
            previousDir,
            u"--compress"_s,
            u"*.so"_s,
            u"--compress-min-size"_s,
            u"65536"_s,
            clientDir,
            mirrorRoot};
}

ToolRun TestReleaseTool::publishFixture() const
{
    return run(standardArguments());
}

QStringList TestReleaseTool::addManifestArguments() const
{
    return {u"--add-manifest"_s,
            u"--client-version"_s,
            u"7"_s,
            u"--client-type"_s,
            clientType,
            u"--manifest-key"_s,
            keyFile(u"development_manifest_private.pem"_s),
            mirrorRoot};
}

QStringList TestReleaseTool::expectedWarnings(bool manifestSigned) const
{
    QStringList lines;
    if (!developmentKeyBuiltIn)
        lines << u"sonavelle-release: warning: the public key built into this updater build does "
                 u"not accept the signature; its updaters reject this version"_s;
    if (manifestSigned && manifestKeyRejects)
        lines << u"sonavelle-release: warning: the manifest key built into this updater build does "
                 u"not accept the manifest's signature; its updaters reject this version"_s;
    return lines;
}

void TestReleaseTool::publishesTheMirrorTree()
{
    const ToolRun result = publishFixture();
    QCOMPARE(result.err, expectedWarnings());
    QCOMPARE(result.exitCode, 0);

    const QStringList expectedTree{u"7/base/.hidden"_s,
                                   u"7/base/client.bin"_s,
                                   u"7/base/delete/notes.txt"_s,
                                   u"7/changelog_client.txt"_s,
                                   u"7/data/data/readme.txt"_s,
                                   u"7/data/data/sounds.pak.gz"_s,
                                   u"7/lib/lib/libvoice.so.gz"_s,
                                   u"7/testclient.ini"_s,
                                   u"7/testclient.ini.sig"_s,
                                   u"7/testclient.manifest"_s,
                                   u"7/testclient.manifest.sig"_s,
                                   u"7/translations/translations/de/update_de.qm"_s};
    QCOMPARE(treeOf(mirrorRoot), expectedTree);
    QCOMPARE(readFile(published(u"changelog_client.txt"_s)), readFile(changelog));

    qint64 installed = 0;
    for (const auto& [name, content] : fixture)
        installed += content.size();
    const qint64 soundsPacked = QFileInfo(published(u"data/data/sounds.pak.gz"_s)).size();
    const qint64 voicePacked = QFileInfo(published(u"lib/lib/libvoice.so.gz"_s)).size();
    const qint64 onMirrors = installed - 70000 - 3000 + soundsPacked + voicePacked;
    const QStringList expectedSummary{
            u"published testclient version 7 in %1"_s.arg(
                    QFileInfo(mirrorRoot).canonicalFilePath() + u"/7"_s),
            u"files: 7, compressed: 2, deleted: 2"_s,
            u"bytes: %1, on the mirrors: %2, compressed: 73000 -> %3"_s.arg(
                    QString::number(installed), QString::number(onMirrors),
                    QString::number(soundsPacked + voicePacked)),
            u"manifest: testclient.manifest"_s};
    QCOMPARE(result.out, expectedSummary);
}

void TestReleaseTool::productIniDescribesEveryFile()
{
    QCOMPARE(publishFixture().exitCode, 0);
    QSettings ini(published(clientType + u".ini"_s), QSettings::IniFormat);
    QCOMPARE(ini.childGroups(),
             (QStringList{u"base"_s, u"data"_s, u"delete"_s, u"lib"_s, u"translations"_s}));

    std::map<QString, QString> expected;
    const auto plain = [&](const QString& section, const QString& name) {
        const QByteArray& content = fixture.at(name);
        expected[section + u'/' + name] = md5(content) + u"::"_s + QString::number(content.size());
    };
    const auto packed = [&](const QString& section, const QString& name) {
        const QByteArray& content = fixture.at(name);
        const QByteArray stored = readFile(published(section + u'/' + name + u".gz"_s));
        expected[section + u'/' + name + u".gz"_s] =
                md5(stored) + u"::"_s + QString::number(stored.size()) + u"::"_s + md5(content) +
                u"::"_s + QString::number(content.size()) + u"::"_s + name;
    };
    plain(u"base"_s, u".hidden"_s);
    plain(u"base"_s, u"client.bin"_s);
    plain(u"base"_s, u"delete/notes.txt"_s);
    plain(u"data"_s, u"data/readme.txt"_s);
    packed(u"data"_s, u"data/sounds.pak"_s);
    packed(u"lib"_s, u"lib/libvoice.so"_s);
    plain(u"translations"_s, u"translations/de/update_de.qm"_s);
    expected[u"delete/lib/libold.so"_s] = QString();
    expected[u"delete/obsolete.txt"_s] = QString();

    std::map<QString, QString> written;
    for (const QString& key : ini.allKeys())
        written[key] = ini.value(key).toString();
    QCOMPARE(written, expected);
}

void TestReleaseTool::storedFilesGiveBackTheOriginals()
{
    QCOMPARE(publishFixture().exitCode, 0);
    QCOMPARE(gunzip(readFile(published(u"lib/lib/libvoice.so.gz"_s))),
             fixture.at(u"lib/libvoice.so"_s));
    QCOMPARE(gunzip(readFile(published(u"data/data/sounds.pak.gz"_s))),
             fixture.at(u"data/sounds.pak"_s));
    QCOMPARE(readFile(published(u"base/client.bin"_s)), fixture.at(u"client.bin"_s));
    QCOMPARE(readFile(published(u"translations/translations/de/update_de.qm"_s)),
             fixture.at(u"translations/de/update_de.qm"_s));
}

void TestReleaseTool::signatureVerifiesWithThePublicKey()
{
    QCOMPARE(publishFixture().exitCode, 0);
    QByteArray ini = readFile(published(clientType + u".ini"_s));
    QByteArray signature = readFile(published(clientType + u".ini.sig"_s));
    QCOMPARE(signature.size(), 128);

    ScopedRsaKey key;
    key.load(keyFile(u"development_public.key"_s).toLocal8Bit().constData());
    const auto verify = [&] {
        return verify_msg(key.get(), reinterpret_cast<const unsigned char*>(ini.constData()),
                          ini.size(), reinterpret_cast<unsigned char*>(signature.data()),
                          signature.size());
    };
    QVERIFY(verify());
    ini[ini.indexOf('=') + 1] = ini[ini.indexOf('=') + 1] == '0' ? '1' : '0';
    QVERIFY(!verify());
}

void TestReleaseTool::manifestDescribesTheMirrorTree_data()
{
    QTest::addColumn<bool>("addedLater");
    QTest::newRow("published with the version") << false;
    QTest::newRow("added to the published version") << true;
}

void TestReleaseTool::manifestDescribesTheMirrorTree()
{
    QFETCH(bool, addedLater);
    const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-1);
    QCOMPARE(publishFixture().exitCode, 0);
    const QString manifestFile = published(clientType + u".manifest"_s);
    QStringList summary;
    if (addedLater) {
        QVERIFY(QFile::remove(manifestFile) && QFile::remove(manifestFile + u".sig"_s));
        const ToolRun added = run(addManifestArguments());
        QCOMPARE(added.err, expectedWarnings());
        QCOMPARE(added.exitCode, 0);
        summary = added.out;
    }

    const QByteArray text = readFile(manifestFile);
    ReleaseManifest manifest;
    QVERIFY2(manifest.parse(text), qPrintable(manifest.errorString()));
    QCOMPARE(manifest.clientType(), clientType);
    QCOMPARE(manifest.version(), 7);
    QVERIFY(manifest.released() >= start);
    QVERIFY(manifest.released() <= QDateTime::currentDateTimeUtc());
    const QByteArray ini = readFile(published(clientType + u".ini"_s));
    QCOMPARE(manifest.productIniSha256(), sha256(ini));
    QCOMPARE(manifest.productIniSize(), ini.size());
    QCOMPARE(manifest.changelogSha256(), sha256(readFile(changelog)));

    QList<ReleaseManifestFile> expected;
    qint64 storedBytes = 0;
    for (const QString& path : treeOf(mirrorRoot + u"/7"_s)) {
        if (!path.contains(u'/'))
            continue; // the ini, the manifest, their signatures and the change log
        const QByteArray stored = readFile(published(path));
        storedBytes += stored.size();
        const bool packed = path.endsWith(u".gz"_s);
        const QByteArray unpacked = packed ? gunzip(stored) : QByteArray();
        // The fixture's files have no execute bit.
        const FileMode mode = addedLater ? FileMode::Unrecorded : FileMode::Plain;
        expected.append({path, sha256(stored), stored.size(),
                         packed ? sha256(unpacked) : QByteArray(), unpacked.size(), mode});
    }
    QCOMPARE(manifest.files(), expected);
    if (addedLater)
        QCOMPARE(summary, (QStringList{u"wrote the manifest of testclient version 7 in %1"_s.arg(
                                               QFileInfo(mirrorRoot).canonicalFilePath() + u"/7"_s),
                                       u"files checked: 7, bytes: %1"_s.arg(storedBytes)}));

    const Failure checked = Ed25519::verify(readFile(keyFile(u"development_manifest_public.pem"_s)),
                                            text, readFile(manifestFile + u".sig"_s));
    QVERIFY2(!checked.failed(), qPrintable(checked.text));
}

// The updater's own list building, on an installation that is partly current and an earlier,
// interrupted run that already fetched one file.
void TestReleaseTool::updaterBuildsTheExpectedLists()
{
    QCOMPARE(publishFixture().exitCode, 0);
    const QString appRoot = dir->filePath(u"installed"_s);
    const QString tempDir = dir->filePath(u"session"_s);
    QVERIFY(writeFile(appRoot + u"/client.bin"_s, fixture.at(u"client.bin"_s)));
    QVERIFY(writeFile(appRoot + u"/lib/libvoice.so"_s, "the version before"));
    QVERIFY(writeFile(appRoot + u"/data/sounds.pak"_s, fixture.at(u"data/sounds.pak"_s)));
    QVERIFY(writeFile(appRoot + u"/.hidden"_s, {}));
    QVERIFY(writeFile(appRoot + u"/obsolete.txt"_s, "older"));
    QVERIFY(writeFile(tempDir + u'/' + clientType + u".ini"_s,
                      readFile(published(clientType + u".ini"_s))));
    QVERIFY(writeFile(tempDir + u"/data/readme.txt"_s, fixture.at(u"data/readme.txt"_s)));

    FileSpecifications lists;
    QStringList messages;
    QVERIFY(buildLists(tempDir, appRoot, lists, messages));
    QCOMPARE(messages, QStringList{u"Compiling download and replace list"_s});

    const QByteArray voicePacked = readFile(published(u"lib/lib/libvoice.so.gz"_s));
    const QByteArray& notes = fixture.at(u"delete/notes.txt"_s);
    const QByteArray& translation = fixture.at(u"translations/de/update_de.qm"_s);
    const QByteArray& voice = fixture.at(u"lib/libvoice.so"_s);
    FileSpecifications expected;
    expected.downloadList = {
            {u"base"_s, u"delete/notes.txt"_s, md5(notes), notes.size()},
            {u"lib"_s, u"lib/libvoice.so.gz"_s, md5(voicePacked), voicePacked.size()},
            {u"translations"_s, u"translations/de/update_de.qm"_s, md5(translation),
             translation.size()}};
    expected.replaceList = {
            {u"base"_s, u"delete/notes.txt"_s, {}, 0, {}},
            {u"data"_s, u"data/readme.txt"_s, {}, 0, {}},
            {u"lib"_s, u"lib/libvoice.so.gz"_s, md5(voice), voice.size(), u"lib/libvoice.so"_s},
            {u"translations"_s, u"translations/de/update_de.qm"_s, {}, 0, {}}};
    expected.deleteList = {u"obsolete.txt"_s};
    QCOMPARE(sorted(lists), expected);
}

// The product ini of the previous release names compressed files by their mirror name; what is
// deleted is what it installed.
void TestReleaseTool::deleteSectionFromPreviousProductIni()
{
    QCOMPARE(publishFixture().exitCode, 0);
    QVERIFY(QFile::remove(client(u"data/readme.txt"_s)));
    QVERIFY(QFile::remove(client(u"lib/libvoice.so"_s)));
    const ToolRun result =
            run({u"--client-version"_s, u"8"_s, u"--client-type"_s, clientType, u"--key"_s,
                 keyFile(u"development_private.key"_s), u"--changelog"_s, changelog,
                 u"--previous-ini"_s, published(clientType + u".ini"_s), clientDir, mirrorRoot});
    QCOMPARE(result.exitCode, 0);
    QSettings ini(mirrorRoot + u"/8/"_s + clientType + u".ini"_s, QSettings::IniFormat);
    ini.beginGroup(u"delete"_s);
    QCOMPARE(ini.allKeys(), (QStringList{u"data/readme.txt"_s, u"lib/libvoice.so"_s}));
}

void TestReleaseTool::deltasFromEarlierReleases_data()
{
    QTest::addColumn<QStringList>("earlier"); // "dir": the earlier client directory
    QTest::addColumn<QString>("expectedError");
    QTest::newRow("client directory") << QStringList{u"dir"_s} << QString();
    QTest::newRow("version on the mirror") << QStringList{u"6"_s} << QString();
    QTest::newRow("same content twice") << QStringList{u"6"_s, u"dir"_s} << QString();
    QTest::newRow("altered on the mirror")
            << QStringList{u"6"_s}
            << u"\"%1/6/lib/lib/libvoice.so.gz\" differs from the product ini of version 6"_s;
}

void TestReleaseTool::deltasFromEarlierReleases()
{
    QFETCH(QStringList, earlier);
    QFETCH(QString, expectedError);
    // Earlier and new content: changed a little (once compressed), changed entirely, unchanged.
    const QByteArray voice = noise(40000, 1);
    const std::map<QString, std::pair<QByteArray, QByteArray>> versions{
            {u"lib/libvoice.so"_s,
             {voice, QByteArray(voice).replace(20000, 50, QByteArray(50, 'x'))}},
            {u"data/readme.txt"_s, {noise(20000, 2), noise(20000, 2) + "appended"}},
            {u"translations/de/update_de.qm"_s, {noise(5000, 3), noise(5000, 4)}},
            {u"client.bin"_s, {clientBinary, clientBinary}}};
    const QString earlierDir = dir->filePath(u"earlier"_s);
    for (const auto& [name, content] : versions)
        QVERIFY(writeFile(earlierDir + u'/' + name, content.first) &&
                writeFile(client(name), content.second));
    QStringList arguments = standardArguments();
    if (earlier.contains(u"6"_s)) {
        QStringList first = arguments;
        first[first.indexOf(u"7"_s)] = u"6"_s;
        first[first.size() - 2] = earlierDir;
        QCOMPARE(run(first).exitCode, 0);
    }
    if (!expectedError.isEmpty())
        QVERIFY(writeFile(mirrorRoot + u"/6/lib/lib/libvoice.so.gz"_s, "altered"));
    QStringList deltaArguments;
    for (const QString& from : earlier)
        deltaArguments << u"--delta-from"_s << (from == u"dir" ? earlierDir : from);
    const ToolRun result = run(deltaArguments + arguments);
    if (!expectedError.isEmpty()) {
        QCOMPARE(result.err.last(), u"sonavelle-release: "_s + expectedError.arg(mirrorRoot));
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(QDir(mirrorRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{u"6"_s});
        return;
    }
    QCOMPARE(result.err, expectedWarnings());
    QCOMPARE(result.exitCode, 0);

    ReleaseManifest manifest;
    QVERIFY(manifest.parse(readFile(published(clientType + u".manifest"_s))));
    QStringList targets;
    qint64 patchBytes = 0;
    qint64 wholeBytes = 0;
    for (const ReleaseManifestPatch& patch : manifest.patches()) {
        targets.append(patch.target);
        const ReleaseManifestFile* file = manifest.file(patch.target);
        const QString name = patch.target.section(u'/', 1).remove(u".gz"_s);
        QCOMPARE(patch.sourceSha256, sha256(versions.at(name).first));
        QCOMPARE(patch.path, u"patches/%1/%2.%3"_s.arg(
                                     QString::fromLatin1(patch.sourceSha256), patch.target,
                                     patch.method == BinaryPatch::Method::Zstd ? u"zstpatch"_s
                                                                               : u"sufpatch"_s));
        QCOMPARE(sha256(readFile(published(patch.path))), patch.sha256);
        const Result<QByteArray> applied =
                BinaryPatch::apply(patch.method, earlierDir + u'/' + name, published(patch.path),
                                   dir->filePath(u"applied"_s), BinaryPatch::maxFileSize);
        QVERIFY2(applied.ok(), qPrintable(applied.ok() ? QString() : applied.failure().text));
        QCOMPARE(applied.value(), file->isPacked() ? file->unpackedSha256 : file->sha256);
        QCOMPARE(readFile(dir->filePath(u"applied"_s)), versions.at(name).second);
        patchBytes += patch.size;
        wholeBytes += file->size;
    }
    QCOMPARE(targets, (QStringList{u"data/data/readme.txt"_s, u"lib/lib/libvoice.so.gz"_s}));
    const QString figures = u"2 patches, %1 bytes in place of %2 kB (%3 % saved)"_s.arg(
            QString::number(patchBytes), QString::number(double(wholeBytes) / 1000, 'f', 1),
            QString::number(100.0 * double(wholeBytes - patchBytes) / double(wholeBytes), 'f', 1));
    QStringList lines;
    for (const QString& from : earlier)
        lines << u"deltas from %1: "_s.arg(from == u"dir" ? u'"' + earlierDir + u'"' : from) +
                         figures;
    lines << u"deltas in all: "_s + figures;
    QCOMPARE(result.out.mid(4, lines.size()), lines);
    QVERIFY2(result.out.last().contains(QRegularExpression(u"^deltas made within [0-9.]+ [kMG]B of "
                                                           u"memory$"_s)),
             qPrintable(result.out.last()));
}

void TestReleaseTool::awkwardNamesReachTheUpdaterUnchanged()
{
    QVERIFY(QDir(clientDir).removeRecursively());
    const QStringList names{
            u"my file.txt"_s,           u"comma,name.txt"_s,
            u"grüße/straße €.txt"_s,    u"@at.txt"_s,
            u"semi;colon=equals.txt"_s, u"General/settings.txt"_s,
            u"[bracket].txt"_s,         u" leading blank.txt"_s,
            u"quote\"d.txt"_s,          u"testclient.manifest/named like the manifest.txt"_s,
            u"data/update.ini"_s,       u"lib/.update.lock"_s};
    for (const QString& name : names)
        QVERIFY(writeFile(client(name), name.toUtf8()));
    const ToolRun result =
            run({u"--client-version"_s, u"3"_s, u"--client-type"_s, clientType, u"--key"_s,
                 keyFile(u"development_private.key"_s), u"--manifest-key"_s,
                 keyFile(u"development_manifest_private.pem"_s), u"--compress"_s, u"comma*"_s,
                 u"--compress"_s, u"grüße/*"_s, clientDir, mirrorRoot});
    QCOMPARE(result.exitCode, 0);

    const QString tempDir = dir->filePath(u"session"_s);
    QVERIFY(writeFile(tempDir + u'/' + clientType + u".ini"_s,
                      readFile(mirrorRoot + u"/3/"_s + clientType + u".ini"_s)));
    FileSpecifications lists;
    QStringList messages;
    QVERIFY(buildLists(tempDir, dir->filePath(u"empty"_s), lists, messages));
    QStringList installed;
    for (const FileReplaceSpecification& file : std::as_const(lists.replaceList)) {
        installed.append(file.pureDestFilePath());
        const auto found =
                std::find_if(lists.downloadList.cbegin(), lists.downloadList.cend(),
                             [&file](const auto& d) { return d.fileName == file.fileName; });
        QVERIFY(found != lists.downloadList.cend());
        const FileDownloadSpecification& download = *found;
        const QByteArray stored =
                readFile(mirrorRoot + u"/3/"_s + download.sourceDir + u'/' + download.fileName);
        QCOMPARE(md5(stored), download.md5);
        QCOMPARE(file.hasUnzip() ? gunzip(stored) : stored, file.pureDestFilePath().toUtf8());
    }
    installed.sort();
    QStringList expected = names;
    expected.sort();
    QCOMPARE(installed, expected);
}

void TestReleaseTool::refusals_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expectedError");

    const auto keyArguments = [](const QString& key) { return QStringList{u"--key"_s, key}; };
    const QString missingKey = u"/nonexistent/private.key"_s;
    QTest::newRow("missing key") << QString() << keyArguments(missingKey)
                                 << u"cannot read the private key \"%1\": No such file or "
                                    u"directory"_s.arg(missingKey);
    QTest::newRow("public key") << QString() << keyArguments(keyFile(u"development_public.key"_s))
                                << u"\"%1\" is a public key; signing needs the private key"_s.arg(
                                           keyFile(u"development_public.key"_s));
    const auto manifestKeyArguments = [](const QString& key) {
        return QStringList{u"--manifest-key"_s, key};
    };
    QTest::newRow("missing manifest key")
            << QString() << manifestKeyArguments(missingKey)
            << u"cannot read the manifest key \"%1\": No such file or directory"_s.arg(missingKey);
    const QString manifestPublic = keyFile(u"development_manifest_public.pem"_s);
    QTest::newRow("public manifest key")
            << QString() << manifestKeyArguments(manifestPublic)
            << u"\"%1\" is a public key; signing the manifest needs the private key"_s.arg(
                       manifestPublic);
    const QString rsaKey = keyFile(u"development_private.key"_s);
    QTest::newRow("RSA manifest key") << QString() << manifestKeyArguments(rsaKey)
                                      << u"cannot sign with the manifest key \"%1\": not an "
                                         u"Ed25519 private key"_s.arg(rsaKey);
    QTest::newRow("backslash") << u"file a\\b.txt"_s << QStringList()
                               << u"cannot publish \"a\\b.txt\": the name contains a backslash"_s;
    QTest::newRow("hash") << u"file lib/a#b.so"_s << QStringList()
                          << u"cannot publish \"lib/a#b.so\": the name contains \"#\", which "
                             u"cannot be part of a download address"_s;
    QTest::newRow("question mark") << u"file why?.txt"_s << QStringList()
                                   << u"cannot publish \"why?.txt\": the name contains \"?\", "
                                      u"which cannot be part of a download address"_s;
    QTest::newRow("percent") << u"file data/100%41.txt"_s << QStringList()
                             << u"cannot publish \"data/100%41.txt\": the name contains \"%\", "
                                u"which cannot be part of a download address"_s;
    QTest::newRow("control character")
            << u"file line\nbreak.txt"_s << QStringList()
            << u"cannot publish \"line?break.txt\": the name contains a control character"_s;
    QTest::newRow("backup name") << u"file lib/_old_libvoice.so"_s << QStringList()
                                 << u"cannot publish \"lib/_old_libvoice.so\": names beginning "
                                    u"with \"_old_\" are the updater's backups"_s;
    QTest::newRow("lock copied from an installation")
            << u"file .update.lock"_s << QStringList()
            << u"cannot publish \".update.lock\": the name is that of the updater's lock, which "
               u"keeps a second updater off the installation"_s;
    QTest::newRow("part file") << u"file data/.sonavelle_part_sounds.pak"_s << QStringList()
                               << u"cannot publish \"data/.sonavelle_part_sounds.pak\": names "
                                  u"beginning with \".sonavelle_part_\" are the updater's files "
                                  u"being installed"_s;
    QTest::newRow("field separator")
            << u"file lib/a::b.so"_s << QStringList()
            << u"cannot publish \"lib/a::b.so\": the name contains \"::\", which separates the "
               u"fields of the product ini"_s;
    QTest::newRow("compressed name taken")
            << u"file lib/libvoice.so.gz"_s << QStringList()
            << u"cannot compress \"lib/libvoice.so\": its compressed name \"lib/libvoice.so.gz\" "
               u"is taken by another file of the version"_s;
    QTest::newRow("dangling link") << u"dangling lib/gone.so"_s << QStringList()
                                   << u"cannot read \"lib/gone.so\": the symbolic link leads "
                                      u"nowhere"_s;
    // Passes the scan as a regular file; reading it fails, once the version is half written.
    QTest::newRow("unreadable file") << u"memory data/memory"_s << QStringList()
                                     << u"cannot read \"data/memory\": Input/output error"_s;
    QTest::newRow("fifo") << u"fifo data/pipe"_s << QStringList()
                          << u"\"data/pipe\" is not a regular file"_s;
    QTest::newRow("directory link") << u"dirlink linked"_s << QStringList()
                                    << u"\"linked\" is a symbolic link to a directory; a release "
                                       u"holds files only"_s;
    QTest::newRow("file becomes directory") << u"previous translations"_s << QStringList()
                                            << u"\"translations\" is a file in one version and a "
                                               u"directory in the other; updaters cannot "
                                               u"install that change"_s;
    QTest::newRow("unsafe previous ini")
            << u"previous-ini ../../etc/passwd"_s << QStringList()
            << u"the previous version lists \"../../etc/passwd\": the name contains \"..\""_s;
    QTest::newRow("missing change log")
            << QString() << QStringList{u"--changelog"_s, u"/nonexistent/changes.txt"_s}
            << u"cannot read the change log \"/nonexistent/changes.txt\": No such file or "
               u"directory"_s;
    QTest::newRow("empty client directory") << u"empty"_s << QStringList() << QString();
    QTest::newRow("mirror inside client") << u"mirror inside"_s << QStringList() << QString();
}

void TestReleaseTool::refusals()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expectedError);

    const QString kind = setup.section(u' ', 0, 0);
    const QString name = setup.section(u' ', 1);
    if (kind == u"file") {
        QVERIFY(writeFile(client(name), "x"));
    } else if (kind == u"dangling") {
        QVERIFY(QFile::link(dir->filePath(u"nothing"_s), client(name)));
    } else if (kind == u"memory") {
        QVERIFY(QFile::link(u"/proc/self/mem"_s, client(name)));
    } else if (kind == u"fifo") {
        QCOMPARE(::mkfifo(client(name).toLocal8Bit().constData(), 0600), 0);
    } else if (kind == u"dirlink") {
        QVERIFY(QFile::link(previousDir, client(name)));
    } else if (kind == u"previous") {
        QVERIFY(writeFile(previousDir + u'/' + name, "was a file"));
    } else if (kind == u"previous-ini") {
        const QString ini = dir->filePath(u"previous.ini"_s);
        QVERIFY(writeFile(ini, "[base]\n" + name.toUtf8() + "=00::1\n"));
        arguments << u"--previous-ini"_s << ini;
    } else if (kind == u"empty") {
        QVERIFY(QDir(clientDir).removeRecursively());
        QVERIFY(QDir().mkpath(client(u"emptyfolder"_s)));
        expectedError = u"client directory \"%1\" holds no files"_s.arg(clientDir);
    } else if (kind == u"mirror") {
        mirrorRoot = client(u"mirror"_s);
        expectedError = u"the mirror root \"%1\" lies inside the client directory \"%2\""_s.arg(
                mirrorRoot, clientDir);
    }

    QStringList allArguments = standardArguments();
    // Later options win; the positional arguments stay last.
    allArguments.remove(allArguments.size() - 2, 2);
    allArguments << arguments << clientDir << mirrorRoot;
    const ToolRun result = run(allArguments);
    QCOMPARE(result.err, QStringList{u"sonavelle-release: "_s + expectedError});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(treeOf(mirrorRoot), QStringList());
    QCOMPARE(QDir(mirrorRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void TestReleaseTool::usageErrors_data()
{
    QTest::addColumn<QStringList>("removed");
    QTest::addColumn<QStringList>("added");
    QTest::addColumn<QString>("expectedError");

    QTest::newRow("no version") << QStringList{u"--client-version"_s, u"7"_s} << QStringList()
                                << u"the client version is missing (--client-version)"_s;
    QTest::newRow("version zero") << QStringList() << QStringList{u"--client-version"_s, u"0"_s}
                                  << u"client version \"0\" is not a number from 1 to "
                                     u"2147483647"_s;
    QTest::newRow("version too large")
            << QStringList() << QStringList{u"--client-version"_s, u"2147483648"_s}
            << u"client version \"2147483648\" is not a number from 1 to 2147483647"_s;
    QTest::newRow("version with letters")
            << QStringList() << QStringList{u"--client-version"_s, u"7a"_s}
            << u"client version \"7a\" is not a number from 1 to 2147483647"_s;
    QTest::newRow("client type with slash")
            << QStringList() << QStringList{u"--client-type"_s, u"../client"_s}
            << u"client type \"../client\" must consist of letters, digits, \"_\", \"-\" and "
               u"\".\" and must not begin with \"-\" or \".\""_s;
    QTest::newRow("no key") << QStringList{u"--key"_s, keyFile(u"development_private.key"_s)}
                            << QStringList() << u"the private key is missing (--key)"_s;
    QTest::newRow("negative size")
            << QStringList() << QStringList{u"--compress-min-size"_s, u"-1"_s}
            << u"--compress-min-size needs a number of bytes"_s;
    QTest::newRow("no jobs") << QStringList() << QStringList{u"--jobs"_s, u"0"_s}
                             << u"--jobs needs a count of at least 1"_s;
    QTest::newRow("deltas without manifest key")
            << QStringList{u"--manifest-key"_s, keyFile(u"development_manifest_private.pem"_s)}
            << QStringList{u"--delta-from"_s, u"6"_s}
            << u"--delta-from needs --manifest-key: patches are listed only in the signed "
               u"manifest"_s;
    QTest::newRow("add manifest to a client directory")
            << QStringList() << QStringList{u"--add-manifest"_s}
            << u"give the mirror root alone with --add-manifest"_s;
    QTest::newRow("channel statement beside a client directory")
            << QStringList() << QStringList{u"--channel"_s, u"stable=7"_s}
            << u"give the mirror root alone with --channel or --refresh-channels"_s;
    QTest::newRow("expiry of a version")
            << QStringList() << QStringList{u"--expires"_s, u"7d"_s}
            << u"--expires is for signing the channel statement (--channel, --refresh-channels, "
               u"--halt, --withdraw)"_s;
    QTest::newRow("rollout of a version")
            << QStringList() << QStringList{u"--rollout"_s, u"10%"_s}
            << u"--rollout is for signing the channel statement (--channel, --refresh-channels, "
               u"--halt, --withdraw)"_s;
    QTest::newRow("unknown option")
            << QStringList() << QStringList{u"--sign-twice"_s} << u"Unknown option 'sign-twice'."_s;
}

void TestReleaseTool::usageErrors()
{
    QFETCH(QStringList, removed);
    QFETCH(QStringList, added);
    QFETCH(QString, expectedError);

    QStringList arguments = standardArguments();
    if (!removed.isEmpty())
        arguments.remove(arguments.indexOf(removed.first()), removed.size());
    // Later options win; the positional arguments stay last.
    arguments.insert(arguments.size() - 2, added.size(), QString());
    std::copy(added.cbegin(), added.cend(), arguments.end() - 2 - added.size());
    const ToolRun result = run(arguments);
    QCOMPARE(result.err, (QStringList{u"sonavelle-release: "_s + expectedError,
                                      u"Try \"sonavelle-release --help\"."_s}));
    QCOMPARE(result.exitCode, 2);
    QVERIFY(!QFileInfo::exists(mirrorRoot));
}

void TestReleaseTool::existingVersionIsReplacedOnlyOnRequest()
{
    QCOMPARE(publishFixture().exitCode, 0);
    const QByteArray firstIni = readFile(published(clientType + u".ini"_s));
    QVERIFY(writeFile(client(u"client.bin"_s), "a rebuilt client"));

    const ToolRun refused = publishFixture();
    QCOMPARE(refused.exitCode, 1);
    QCOMPARE(refused.err, QStringList{u"sonavelle-release: version 7 exists in \"%1\"; give "
                                      u"--replace to replace it"_s.arg(mirrorRoot)});
    QCOMPARE(readFile(published(clientType + u".ini"_s)), firstIni);

    const ToolRun replaced = run(QStringList{u"--replace"_s} + standardArguments());
    QCOMPARE(replaced.exitCode, 0);
    QCOMPARE(readFile(published(u"base/client.bin"_s)), QByteArray("a rebuilt client"));
    QSettings ini(published(clientType + u".ini"_s), QSettings::IniFormat);
    QCOMPARE(ini.value(u"base/client.bin"_s).toString(), md5("a rebuilt client") + u"::16"_s);
    // The old tree went with the swap; nothing else is left beside the version.
    QCOMPARE(QDir(mirrorRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{u"7"_s});
}

void TestReleaseTool::addManifestRefusals_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("expectedError");

    const QByteArray altered = QByteArray(clientBinary).replace("client", "CLIENT");
    QTest::newRow("altered file")
            << u"alter base/client.bin"_s
            << u"\"%1\" differs from the product ini: 17 bytes with MD5 sum %2, listed as 17 "
               u"bytes with MD5 sum %3"_s.arg(u"%1"_s, md5(altered), md5(clientBinary));
    QTest::newRow("missing file") << u"remove data/data/readme.txt"_s
                                  << u"cannot read \"%1\": No such file or directory"_s;
    QTest::newRow("existing manifest")
            << u"keep testclient.manifest"_s << u"\"%1\" exists; give --replace to replace it"_s;
}

void TestReleaseTool::addManifestRefusals()
{
    QFETCH(QString, setup);
    QFETCH(QString, expectedError);

    QCOMPARE(publishFixture().exitCode, 0);
    const QString kind = setup.section(u' ', 0, 0);
    const QString path = published(setup.section(u' ', 1));
    if (kind != u"keep") {
        QVERIFY(QFile::remove(published(clientType + u".manifest"_s)));
        QVERIFY(QFile::remove(published(clientType + u".manifest.sig"_s)));
    }
    if (kind == u"alter")
        QVERIFY(writeFile(path, QByteArray(clientBinary).replace("client", "CLIENT")));
    if (kind == u"remove")
        QVERIFY(QFile::remove(path));
    const QStringList tree = treeOf(mirrorRoot);

    const ToolRun result = run(addManifestArguments());
    // The product ini's signature is checked before the files, the manifest before anything.
    const QStringList warnings = kind == u"keep" ? QStringList() : expectedWarnings(false);
    QCOMPARE(result.err,
             warnings + QStringList{u"sonavelle-release: "_s + expectedError.arg(path)});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(treeOf(mirrorRoot), tree);
}

void TestReleaseTool::warnings_data()
{
    QTest::addColumn<QByteArray>("mirrorList");
    QTest::addColumn<QString>("removedOption");
    QTest::addColumn<QStringList>("warningLines");

    const QString noMirror = u"sonavelle-release: warning: the version's mirrors.ini names no "
                             u"mirror with a url; installations of it cannot update any more"_s;
    const QString noChangelog = u"sonavelle-release: warning: no change log given (--changelog); "
                                u"updaters show none for this version"_s;
    QTest::newRow("usable mirror list")
            << QByteArray("[mirrors]\nsize=2\n1\\mirror=a\n2\\mirror=b\n[b]\nurl=http://b/\n")
            << QString() << QStringList();
    QTest::newRow("mirror without url")
            << QByteArray("[mirrors]\nsize=1\n1\\mirror=a\n[a]\nretries=3\n") << QString()
            << QStringList{noMirror};
    QTest::newRow("blank mirror name")
            << QByteArray("[mirrors]\nsize=1\n1\\mirror=\" \"\n[%20]\nurl=http://b/\n") << QString()
            << QStringList{noMirror};
    QTest::newRow("no change log") << QByteArray() << u"--changelog"_s << QStringList{noChangelog};
    QTest::newRow("no manifest key")
            << QByteArray() << u"--manifest-key"_s
            << QStringList{u"sonavelle-release: warning: no manifest key given (--manifest-key); "
                           u"updaters built with a manifest key reject this version"_s};
    QTest::newRow("previous settings kept")
            << QByteArray() << QString()
            << QStringList{u"sonavelle-release: warning: the previous version had \"mirrors.ini\", "
                           u"which this one lacks; updaters keep it, as they need it"_s,
                           u"sonavelle-release: warning: the previous version had \"update\", "
                           u"which this one lacks; updaters keep it, as they need it"_s,
                           u"sonavelle-release: warning: the previous version had \"update.ini\", "
                           u"which updaters do not delete: the name is that of the user's "
                           u"settings and the updater's records"_s};
}

void TestReleaseTool::warnings()
{
    QFETCH(QByteArray, mirrorList);
    QFETCH(QString, removedOption);
    QFETCH(QStringList, warningLines);

    if (!mirrorList.isEmpty())
        QVERIFY(writeFile(client(u"mirrors.ini"_s), mirrorList));
    if (QByteArray(QTest::currentDataTag()) == "previous settings kept") {
        QVERIFY(writeFile(previousDir + u"/mirrors.ini"_s, "[mirrors]\nsize=0\n"));
        QVERIFY(writeFile(previousDir + u"/update"_s, "the updater"));
        QVERIFY(writeFile(previousDir + u"/update.ini"_s, "[update]\n"));
    }
    QStringList arguments = standardArguments();
    if (!removedOption.isEmpty())
        arguments.remove(arguments.indexOf(removedOption), 2);
    const bool signsManifest = removedOption != u"--manifest-key";
    const ToolRun result = run(arguments);
    QCOMPARE(result.err, warningLines + expectedWarnings(signsManifest));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(QFileInfo::exists(published(u"changelog_client.txt"_s)),
             removedOption != u"--changelog");
    QCOMPARE(QFileInfo::exists(published(clientType + u".manifest"_s)), signsManifest);
    QCOMPARE(result.out.last(),
             signsManifest ? u"manifest: testclient.manifest"_s : u"manifest: none"_s);
    QSettings ini(published(clientType + u".ini"_s), QSettings::IniFormat);
    ini.beginGroup(u"delete"_s);
    QCOMPARE(ini.allKeys(), (QStringList{u"lib/libold.so"_s, u"obsolete.txt"_s}));
}

void TestReleaseTool::channelStatement_data()
{
    using Steps = QList<QStringList>;
    QTest::addColumn<Steps>("earlier");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected"); // stderr, then the channel lines of the summary

    const auto channel = [](const QString& version, const QString& share = {}) {
        const QStringList arguments{u"--channel"_s, u"stable="_s + version};
        return share.isEmpty() ? arguments : arguments + QStringList{u"--rollout"_s, share};
    };
    const auto refresh = [](const QString& share) {
        return QStringList{u"--refresh-channels"_s, u"--rollout"_s, share};
    };
    const auto failure = [](const QString& text) {
        return QStringList{u"sonavelle-release: "_s + text};
    };
    const auto usage = [&](const QString& text) {
        return failure(text) << u"Try \"sonavelle-release --help\"."_s;
    };
    const QStringList halt{u"--halt"_s, u"stable"_s};
    const QStringList withdraw{u"--withdraw"_s, u"stable=1236"_s};
    const Steps rolling10{channel(u"1235"_s), channel(u"1236"_s, u"10%"_s)};
    const QString rolling = u"  stable: version 1235; 1236 rolling out to %1 of installations"_s;
    QTest::newRow("rollout started")
            << Steps() << channel(u"1236"_s, u"0.5"_s) + QStringList{u"--from"_s, u"1235"_s}
            << QStringList{rolling.arg(u"0.5 %"_s)};
    QTest::newRow("halted rollout widened") << rolling10 + Steps{halt} << refresh(u"12.25%"_s)
                                            << QStringList{rolling.arg(u"12.25 %"_s)};
    QTest::newRow("rollout narrowed")
            << rolling10 << channel(u"1236"_s, u"1"_s)
            << QStringList{u"sonavelle-release: warning: the rollout of 1236 on stable narrows "
                           u"from 10 % to 1 %: installations that have 1236 keep it; --halt "
                           u"stops a rollout"_s,
                           rolling.arg(u"1 %"_s)};
    QTest::newRow("rollout completed")
            << rolling10 << refresh(u"100%"_s) << QStringList{u"  stable: version 1236"_s};
    QTest::newRow("halt") << rolling10 << halt
                          << QStringList{u"  stable: version 1235; 1236 rolling out (halted at "
                                         u"10 %)"_s};
    QTest::newRow("newer rollout kept")
            << Steps{channel(u"1235"_s), channel(u"1237"_s, u"10%"_s)} << channel(u"1236"_s)
            << QStringList{u"  stable: version 1236; 1237 rolling out to 10 % of installations"_s};
    const QStringList back{u"  stable: version 1235"_s,
                           u"  stable: 1236 withdrawn, back to 1235"_s};
    const QStringList withdrawTo = withdraw + QStringList{u"--to"_s, u"1235"_s};
    QTest::newRow("channel withdrawn") << Steps{channel(u"1236"_s)} << withdrawTo << back;
    QTest::newRow("rollout withdrawn") << rolling10 << withdraw << back;
    QTest::newRow("withdrawn version named")
            << Steps{channel(u"1236"_s), withdrawTo} << channel(u"1236"_s)
            << failure(u"version 1236 of stable is withdrawn"_s);
    QTest::newRow("withdrawal without --to")
            << Steps{channel(u"1236"_s)} << withdraw
            << failure(u"stable is on version 1236, which is not older than 1236: give --to"_s);
    QTest::newRow("rollout without --from")
            << Steps() << channel(u"1236"_s, u"10%"_s)
            << failure(u"--rollout needs --from: the statement names no version of stable yet"_s);
    QTest::newRow("two rollouts")
            << rolling10 + Steps{{u"--channel"_s, u"beta=1237"_s, u"--rollout"_s, u"1%"_s,
                                  u"--from"_s, u"1236"_s}}
            << refresh(u"50%"_s)
            << failure(u"the channel statement has rollouts on beta, stable: name the channel: "
                       u"--channel beta=1237 --rollout 50%"_s);
    QTest::newRow("share of nothing")
            << Steps() << refresh(u"0%"_s)
            << usage(u"--rollout \"0%\" gives the version to no installation: give a share "
                     u"above 0%, or --halt to stop a rollout"_s);
    QTest::newRow("share above 100") << Steps() << refresh(u"100.01"_s)
                                     << usage(u"--rollout \"100.01\" is more than 100%"_s);
    QTest::newRow("share too fine")
            << Steps() << refresh(u"0.125%"_s)
            << usage(u"--rollout \"0.125%\" has more than two decimals: the smallest share is "
                     u"0.01%"_s);
    QTest::newRow("share not a number")
            << Steps() << refresh(u"half"_s)
            << usage(u"--rollout \"half\" is not a share in percent, such as 10% or 0.5%"_s);
    QTest::newRow("statement from a clock ahead")
            << Steps{{u"ahead"_s}} << channel(u"1236"_s)
            << failure(u"\"<root>/testclient.channels\" was signed at 2999-01-01T00:00:00Z, later "
                       u"than this computer's clock says it is: a statement signed now would not "
                       u"be newer; set the clock right"_s);
    QTest::newRow("--from not older")
            << Steps() << channel(u"1236"_s, u"10%"_s) + QStringList{u"--from"_s, u"1236"_s}
            << usage(u"--from 1236 is not older than --channel stable=1236"_s);
}

void TestReleaseTool::channelStatement()
{
    QFETCH(QList<QStringList>, earlier);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);

    // Only a version's signed manifest counts for the statement.
    for (const QString& version : {u"1235"_s, u"1236"_s, u"1237"_s}) {
        for (const QString& suffix : {u""_s, u".sig"_s})
            QVERIFY(writeFile(mirrorRoot + u'/' + version + u'/' + clientType + u".manifest"_s +
                                      suffix,
                              "x"));
    }
    const auto sign = [this](QStringList arguments) {
        ToolRun result =
                run(arguments << u"--client-type"_s << clientType << u"--channel-key"_s
                              << keyFile(u"development_channel_private.pem"_s) << mirrorRoot);
        result.err.removeAll(u"sonavelle-release: warning: the channel key built into this "
                             u"updater build does not accept the statement's signature; its "
                             u"updaters refuse it"_s);
        return result;
    };
    const QString path = mirrorRoot + u'/' + clientType + u".channels"_s;
    for (const QStringList& step : std::as_const(earlier)) {
        if (step.first() == u"ahead")
            QVERIFY(writeFile(path, "sonavelle-channels\t1\nclient-type\ttestclient\n"
                                    "signed\t2999-01-01T00:00:00Z\nexpires\t2999-01-08T00:00:00Z\n"
                                    "channel\tstable\t1235\n"));
        else
            QCOMPARE(sign(step).exitCode, 0);
    }
    const QByteArray before = readFile(path);
    const ToolRun result = sign(arguments);
    expected.replaceInStrings(u"<root>"_s, mirrorRoot);
    QCOMPARE(result.err + result.out.mid(1, result.out.size() - 2), expected);
    QCOMPARE(result.exitCode == 0, readFile(path) != before);
    // Signed back to back, the new statement is still a second newer.
    ChannelStatement earlierStatement;
    ChannelStatement newStatement;
    if (result.exitCode == 0 && earlierStatement.parse(before)) {
        QVERIFY(newStatement.parse(readFile(path)));
        QVERIFY(newStatement.signedAt() > earlierStatement.signedAt());
    }
}

QTEST_GUILESS_MAIN(TestReleaseTool)
#include "tst_releasetool.moc"
