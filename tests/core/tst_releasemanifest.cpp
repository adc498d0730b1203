#include "releasemanifest.h"

#include <QTest>
#include <QTimeZone>

using namespace Qt::StringLiterals;

namespace {

// Rows write "@" for a digest, to stay readable.
const QByteArray digest(64, 'e');

QByteArray withDigests(QByteArray text)
{
    return text.replace('@', digest);
}

// Lines 1 to 5; the rows' own lines start at 6.
const QByteArray header = "sonavelle-release-manifest\t1\nclient-type\tclient_linux_amd64\n"
                          "version\t1234\nreleased\t2026-12-07T21:00:00Z\nproduct-ini\t@\t5120\n";
const QByteArray files = "file\tbase/update.gz\t@\t700\t@\t2100\nfile\tdata/maps/a.dat\t@\t0\n";
const QByteArray patch = "patch\tdata/maps/a.dat\t@\tpatches/1/a.dat\t@\t3\n";
const QByteArray modes = "mode\tbase/update.gz\t0755\nmode\tdata/maps/a.dat\t0644\n";

QByteArray headerWith(const char* line, const char* replacement)
{
    return QByteArray(header).replace(line, replacement);
}

} // namespace

class TestReleaseManifest : public QObject
{
    Q_OBJECT

private slots:
    void readsAndWrites();
    void roundTrip_data();
    void roundTrip();
    void rejects_data();
    void rejects();
};

void TestReleaseManifest::readsAndWrites()
{
    const QByteArray text =
            withDigests(header + files + patch +
                        "patch-with\tsuffix\tbase/update.gz\t@\tpatches/1/u.gz\t@\t9\n" + modes);
    ReleaseManifest built;
    built.setClientType(u"client_linux_amd64"_s);
    built.setVersion(1234);
    const QDateTime released(QDate(2026, 12, 7), QTime(21, 0), QTimeZone::utc());
    built.setReleased(released.addMSecs(250)); // whole seconds only
    built.setProductIni(digest, 5120);
    QVERIFY(built.addFile({u"base/update.gz"_s, digest, 700, digest, 2100}));
    QVERIFY(built.addFile({u"data/maps/a.dat"_s, digest, 0, {}, 0}));
    QVERIFY(!built.addFile({u"data/maps/a.dat"_s, digest, 1, {}, 0}));
    QCOMPARE(built.errorString(), u"file 'data/maps/a.dat' is listed twice"_s);
    QVERIFY(built.addPatch({u"data/maps/a.dat"_s, digest, u"patches/1/a.dat"_s, digest, 3}));
    QVERIFY(built.addPatch({u"base/update.gz"_s, digest, u"patches/1/u.gz"_s, digest, 9,
                            BinaryPatch::Method::Suffix}));
    QVERIFY(built.setMode(u"base/update.gz"_s, FileMode::Executable));
    QVERIFY(built.setMode(u"data/maps/a.dat"_s, FileMode::Plain));
    QCOMPARE(built.toText(), text);

    ReleaseManifest read;
    QVERIFY2(read.parse(text), qPrintable(read.errorString()));
    QVERIFY(read == built);
    QCOMPARE(read.released(), released);
    QCOMPARE(read.files().size(), 2);
    QVERIFY(read.file(u"base/update.gz"_s)->isPacked());
    QCOMPARE(read.file(u"data/maps/a.dat"_s), &read.files().at(1));
    QCOMPARE(read.file(u"data/maps"_s), nullptr);
    QCOMPARE(read.patch(u"data/maps/a.dat"_s, digest), &read.patches().at(0));
    QCOMPARE(read.patch(u"data/maps/a.dat"_s, QByteArray(64, 'f')), nullptr);
    QCOMPARE(ReleaseManifest::signatureFileName(u"client_x"_s), u"client_x.manifest.sig"_s);
}

void TestReleaseManifest::roundTrip_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("example") << header + files << header + files;
    QTest::newRow("no files") << header << header;
    QTest::newRow("patches after their files") << header + files + patch << header + files + patch;
    const QByteArray suffixPatch = "patch-with\tsuffix\tbase/update.gz\t@\tpatches/1/u.gz\t@\t9\n";
    QTest::newRow("a patch of another method")
            << header + files + suffixPatch << header + files + suffixPatch;
    const QByteArray xzPatch = QByteArray(suffixPatch).replace("suffix", "suffix-xz");
    QTest::newRow("a patch with its differences packed by xz")
            << header + files + xzPatch << header + files + xzPatch;
    const QByteArray largeZstd = QByteArray(suffixPatch).replace("suffix", "zstd");
    QTest::newRow("a zstd patch named so")
            << header + files + largeZstd << header + files + largeZstd;
    // An updater that does not know the method fetches the whole file.
    QTest::newRow("a method this updater does not know")
            << header + files + QByteArray(suffixPatch).replace("suffix", "later")
            << header + files;
    QTest::newRow("unknown kinds skipped")
            << header + "delta\tbase/update.gz\tx\n" + files + "x-2\n"
            << header + files;
    QTest::newRow("change log after the product ini") << header + files + "changelog\t@\t1048576\n"
                                                      << header + "changelog\t@\t1048576\n" + files;
    QTest::newRow("files first") << "sonavelle-release-manifest\t1\n" + files +
                                            header.mid(header.indexOf('\n') + 1)
                                 << header + files;
    QTest::newRow("byte order mark in a path") << header + "file\t\xEF\xBB\xBF.dat\t@\t1\n"
                                               << header + "file\t\xEF\xBB\xBF.dat\t@\t1\n";
    QTest::newRow("largest numbers")
            << headerWith("1234", "2147483647").replace("5120", "9007199254740992")
            << headerWith("1234", "2147483647").replace("5120", "9007199254740992");
}

void TestReleaseManifest::roundTrip()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, written);
    ReleaseManifest manifest;
    QVERIFY2(manifest.parse(withDigests(text)), qPrintable(manifest.errorString()));
    QCOMPARE(manifest.toText(), withDigests(written));
}

void TestReleaseManifest::rejects_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");
    const auto row = [](const char* name, const QByteArray& text, const QString& error) {
        QTest::newRow(name) << text << error;
    };
    row("empty", {}, u"the manifest is empty"_s);
    row("too large", QByteArray(ReleaseManifest::maxSize + 1, '\n'),
        u"the manifest is 67108865 bytes long, more than the 67108864 this updater reads"_s);
    row("other text", "[dl]\n", u"line 1: not a release manifest"_s);
    row("byte order mark", "\xEF\xBB\xBF" + header,
        u"line 1: the manifest starts with a byte order mark"_s);
    row("newer format", headerWith("\t1\n", "\t2\tmore\n"),
        u"line 1: manifest format 2 is newer than this updater reads (1)"_s);
    row("format line long", headerWith("\t1\n", "\t1\t\n"),
        u"line 1: a sonavelle-release-manifest record needs 2 fields, not 3"_s);
    row("CRLF", headerWith("\n", "\r\n"), u"line 1: the line contains a carriage return"_s);
    row("no last LF", header + "file\ta\t@\t1",
        u"line 6: the last line does not end in a line feed"_s);
    row("empty line", header + "\n", u"line 6: the line is empty"_s);
    row("not UTF-8", header + "note\t\xC3\x28\n", u"line 6: the line is not valid UTF-8"_s);
    row("kind in capitals", header + "File\ta\t@\t1\n", u"line 6: 'File' is not a record kind"_s);
    row("leading TAB", header + "\tfile\n", u"line 6: '' is not a record kind"_s);
    row("magic again", header + header, u"line 6: a second 'sonavelle-release-manifest' line"_s);
    row("no product ini", header.first(header.indexOf("product")), u"no product-ini record"_s);
    row("no version", headerWith("version", "x-version"), u"no version record"_s);
    row("second change log", header + "changelog\t@\t1\nchangelog\t@\t1\n",
        u"line 7: a second 'changelog' record"_s);
    row("change log too large", header + "changelog\t@\t1048577\n",
        u"line 6: the size '1048577' is out of range (0 to 1048576)"_s);
    row("change log fields", header + "changelog\t@\n",
        u"line 6: a changelog record needs 3 fields, not 2"_s);
    row("second client type", header + "client-type\tx\n",
        u"line 6: a second 'client-type' record"_s);
    row("client type empty", headerWith("client_linux_amd64", ""),
        u"line 2: the client type is empty"_s);
    row("client type slash", headerWith("client_linux", "a/b"),
        u"line 2: the client type 'a/b_amd64' contains '/', '\\' or a control character"_s);
    row("version fields", headerWith("1234", "1234\t"),
        u"line 3: a version record needs 2 fields, not 3"_s);
    row("version zero", headerWith("1234", "0"),
        u"line 3: the version '0' is out of range (1 to 2147483647)"_s);
    row("version signed", headerWith("1234", "+1234"),
        u"line 3: the version '+1234' is not a decimal number"_s);
    row("offset time", headerWith("00Z", "00+00:00"),
        u"line 4: the release time '2026-12-07T21:00:00+00:00' is not a UTC time "
        u"like 2026-12-07T21:00:00Z"_s);
    row("product ini digest", headerWith("\t@", "\tE"),
        u"line 5: the digest 'E' is not 64 lower-case hex digits"_s);
    row("size not decimal", header + "file\ta\t@\tx\n",
        u"line 6: the size 'x' is not a decimal number"_s);
    row("leading zero", header + "file\ta\t@\t07\n", u"line 6: the size '07' has a leading zero"_s);
    row("size too large", header + "file\ta\t@\t9007199254740993\n",
        u"line 6: the size '9007199254740993' is out of range (0 to 9007199254740992)"_s);
    row("unpacked digest", header + "file\ta\t@\t1\tab\t2\n",
        u"line 6: the unpacked digest 'ab' is not 64 lower-case hex digits"_s);
    row("file fields", header + "file\ta\t@\t1\t@\n",
        u"line 6: a file record needs 4 or 6 fields, not 5"_s);
    for (const char* path : {"a/../b", "/a", "a//b", "a\\b", "a\x01"}) {
        const QByteArray name = "path "_ba.append(path);
        row(name.constData(), header + "file\t" + path + "\t@\t1\n",
            u"line 6: file '%1' is not a plain relative path"_s.arg(QLatin1StringView(path)));
    }
    row("listed twice", header + "file\ta.dat\t@\t1\nfile\ta.dat\t@\t2\n",
        u"line 7: file 'a.dat' is listed twice"_s);
    row("patch fields", header + "patch\ta\n", u"line 6: a patch record needs 6 fields, not 2"_s);
    row("patch-with fields", header + files + QByteArray(patch).replace("patch", "patch-with"),
        u"line 8: a patch-with record needs 7 fields, not 6"_s);
    row("patch before its file", header + patch + files,
        u"line 6: patch for 'data/maps/a.dat', which is not a listed file"_s);
    row("second patch from one source",
        header + files + patch + QByteArray(patch).replace("1", "2"),
        u"line 9: a second patch for 'data/maps/a.dat' from the same source"_s);
    row("patch path", header + files + QByteArray(patch).replace("patches/1", "../p"),
        u"line 8: patch '../p/a.dat' is not a plain relative path"_s);
    row("patch named as a file",
        header + files + QByteArray(patch).replace("patches/1/a.dat", "base/update.gz"),
        u"line 8: patch 'base/update.gz' is listed twice"_s);
    row("mode value", header + files + QByteArray(modes).replace("0644", "0664"),
        u"line 9: the mode '0664' of 'data/maps/a.dat' is not 0755 or 0644"_s);
    row("mode before its file", header + modes + files,
        u"line 6: mode for 'base/update.gz', which is not a listed file"_s);
    row("file without a mode", header + files + "mode\tbase/update.gz\t0755\n",
        u"file 'data/maps/a.dat' has no mode record, though other files have one"_s);
}

void TestReleaseManifest::rejects()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    ReleaseManifest manifest;
    QVERIFY(manifest.parse(withDigests(header + files)));
    QVERIFY(!manifest.parse(withDigests(text)));
    QCOMPARE(manifest.errorString(), error);
    QVERIFY(manifest == ReleaseManifest());
    QCOMPARE(manifest.file(u"base/update.gz"_s), nullptr);
}

QTEST_GUILESS_MAIN(TestReleaseManifest)
#include "tst_releasemanifest.moc"
