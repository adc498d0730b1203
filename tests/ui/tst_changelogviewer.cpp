#include "changelogviewer.h"
#include "ed25519.h"
#include "httpserver.h"
#include "sha256.h"
#include "sharedrandom.h"
#include "testrelease.h"
#include "urlrecorder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFontMetrics>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString loading = u"Loading..."_s;
const QString failed = u"Failed to load changelog."_s;

// What the desktop would open for these schemes, recorded by the tests instead.
const QStringList browserSchemes{u"http"_s, u"https"_s, u"file"_s, QString()};

// Clicks the middle of a text shown in the view.
void clickText(QTextEdit& view, const QString& text)
{
    const QTextCursor found = view.document()->find(text);
    QVERIFY(!found.isNull());
    QTextCursor middle(view.document());
    middle.setPosition((found.selectionStart() + found.selectionEnd()) / 2);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.cursorRect(middle).center());
}

// One change log request path below a mirror.
QString changelogPath(const QString& mirror)
{
    return u"/"_s + mirror + u"/12/changelog_client.txt"_s;
}

} // namespace

// An application root of its own; the mirrors are directories of the test server.
class ChangelogFixture
{
public:
    // "mirrors.ini" naming the mirrors, each with its base URL on the server.
    [[nodiscard]] bool writeMirrorsIni(const QStringList& mirrors, const QString& urlSuffix = {})
    {
        QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(mirrors.size()) + '\n';
        for (qsizetype i = 0; i < mirrors.size(); ++i)
            ini += QByteArray::number(i + 1) + "\\mirror=" + mirrors.at(i).toUtf8() + '\n';
        for (const QString& mirror : mirrors)
            ini += '[' + mirror.toUtf8() +
                   "]\nurl=" + server.urlText(u"/"_s + mirror + urlSuffix).toUtf8() + '\n';
        return writeFile(u"mirrors.ini"_s, ini);
    }
    [[nodiscard]] bool writeFile(const QString& name, const QByteArray& content)
    {
        QFile file(root.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    [[nodiscard]] InstallationLayout installation() const
    {
        return InstallationLayout(root.path());
    }

    [[nodiscard]] static QString shownText(ChangeLogViewer& viewer)
    {
        return viewer.findChild<QTextEdit*>(u"changeLogTextEdit"_s)->toPlainText();
    }

    QTemporaryDir root;
    TestHttpServer server;
    QNetworkAccessManager network;
};

class TestChangeLogViewer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void oneDialogForTwoClicks();
    void skipsFailuresAndRedirections_data();
    void skipsFailuresAndRedirections();
    void silentMirrorsTimeOut();
    void joinsUrlWithOneSlash_data();
    void joinsUrlWithOneSlash();
    void alphaLocationIsTriedAlone();
    void nothingToAsk();
    void decodesWithByteOrderMark_data();
    void decodesWithByteOrderMark();
    void sizesToWidestLine_data();
    void sizesToWidestLine();
    void onlyWebLinksOpen_data();
    void onlyWebLinksOpen();
    void releaseManifestVouchesForTheText_data();
    void releaseManifestVouchesForTheText();
};

void TestChangeLogViewer::init()
{
    SharedRandom::seed(1);
}

void TestChangeLogViewer::oneDialogForTwoClicks()
{
    ChangelogFixture f;
    QVERIFY(f.writeMirrorsIni({u"m1"_s}));
    f.server.setRoute(changelogPath(u"m1"_s), TestHttpServer::Behaviour::serve("v12: news"_ba));
    QVERIFY(!ChangeLogViewer::instance());

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, &f.network, f.installation(), u"12"_s);
    QPointer<ChangeLogViewer> viewer = ChangeLogViewer::instance();
    QVERIFY(viewer);
    QVERIFY(viewer->isVisible());
    QCOMPARE(viewer->objectName(), u"ChangeLogViewer"_s);
    QCOMPARE(viewer->windowTitle(), u"Changelog"_s);
    QCOMPARE(ChangelogFixture::shownText(*viewer), loading);
    QTRY_COMPARE(ChangelogFixture::shownText(*viewer), u"v12: news"_s);

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, &f.network, f.installation(), u"12"_s);
    QCOMPARE(ChangeLogViewer::instance(), viewer.data());
    QCOMPARE(ChangelogFixture::shownText(*viewer), u"v12: news"_s);
    QCOMPARE(f.server.requestCount(changelogPath(u"m1"_s)), 1);

    // Closed, it is gone at once for the next click, and deleted soon after.
    viewer->close();
    QVERIFY(!ChangeLogViewer::instance());
    QTRY_VERIFY(!viewer);

    // The next click starts afresh; Escape closes that one the same way.
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, &f.network, f.installation(), u"12"_s);
    viewer = ChangeLogViewer::instance();
    QTRY_COMPARE(ChangelogFixture::shownText(*viewer), u"v12: news"_s);
    QCOMPARE(f.server.requestCount(changelogPath(u"m1"_s)), 2);
    QTest::keyClick(viewer, Qt::Key_Escape);
    QVERIFY(!ChangeLogViewer::instance());
    QTRY_VERIFY(!viewer);
}

void TestChangeLogViewer::skipsFailuresAndRedirections_data()
{
    QTest::addColumn<bool>("withGoodMirror");
    QTest::addColumn<QString>("shown");

    QTest::newRow("a good mirror left") << true << u"the change log"_s;
    QTest::newRow("none good") << false << failed;
}

void TestChangeLogViewer::skipsFailuresAndRedirections()
{
    QFETCH(bool, withGoodMirror);
    QFETCH(QString, shown);

    ChangelogFixture f;
    QStringList mirrors{u"moved"_s, u"movedpage"_s, u"missing"_s, u"endless"_s};
    f.server.setRoute(changelogPath(u"endless"_s), TestHttpServer::Behaviour::endless());
    f.server.setRoute(changelogPath(u"moved"_s),
                      TestHttpServer::Behaviour::movedPermanently(f.server.urlText(u"/trap"_s)));
    // A page that downloaded without error but tells of a redirection.
    f.server.setRoute(changelogPath(u"movedpage"_s),
                      TestHttpServer::Behaviour::serve(
                              "<html><body>The document has moved <a href=\"/trap\">here</a>."
                              "</body></html>"_ba));
    f.server.setRoute(u"/trap"_s, TestHttpServer::Behaviour::serve("trap"_ba));
    if (withGoodMirror) {
        mirrors.append(u"good"_s);
        f.server.setRoute(changelogPath(u"good"_s),
                          TestHttpServer::Behaviour::serve("the change log"_ba));
    }
    QVERIFY(f.writeMirrorsIni(mirrors));

    // Long enough that only the size cap ends the endless one in time.
    ChangeLogViewer viewer(&f.network, f.installation(), nullptr, 60s);
    viewer.requestRemote(u"12"_s);
    QTRY_COMPARE(ChangelogFixture::shownText(viewer), shown);
    QCOMPARE(f.server.requestCount(u"/trap"_s), 0);
    for (const QString& mirror : mirrors)
        QVERIFY(f.server.requestCount(changelogPath(mirror)) <= 1);
    if (!withGoodMirror) {
        for (const QString& mirror : mirrors)
            QCOMPARE(f.server.requestCount(changelogPath(mirror)), 1);
    }
}

void TestChangeLogViewer::silentMirrorsTimeOut()
{
    ChangelogFixture f;
    const QStringList mirrors{u"s1"_s, u"s2"_s, u"s3"_s};
    for (const QString& mirror : mirrors)
        f.server.setRoute(changelogPath(mirror), TestHttpServer::Behaviour::stall("late"_ba, 0));
    QVERIFY(f.writeMirrorsIni(mirrors));
    constexpr auto timeout = 200ms;

    ChangeLogViewer viewer(&f.network, f.installation(), nullptr, timeout);
    QElapsedTimer clock;
    clock.start();
    viewer.requestRemote(u"12"_s);
    QTRY_COMPARE_WITH_TIMEOUT(ChangelogFixture::shownText(viewer), failed, 5000);

    // One time-out per mirror, each mirror asked once.
    QVERIFY2(clock.elapsed() >= 3 * timeout.count() * 9 / 10,
             qPrintable(u"%1 ms"_s.arg(clock.elapsed())));
    for (const QString& mirror : mirrors)
        QCOMPARE(f.server.requestCount(changelogPath(mirror)), 1);
}

void TestChangeLogViewer::joinsUrlWithOneSlash_data()
{
    QTest::addColumn<QString>("urlSuffix");

    QTest::newRow("base without slash") << QString();
    QTest::newRow("base with slash") << u"/"_s;
}

void TestChangeLogViewer::joinsUrlWithOneSlash()
{
    QFETCH(QString, urlSuffix);

    ChangelogFixture f;
    QVERIFY(f.writeMirrorsIni({u"m1"_s}, urlSuffix));
    f.server.setRoute(changelogPath(u"m1"_s), TestHttpServer::Behaviour::serve("joined"_ba));

    ChangeLogViewer viewer(&f.network, f.installation());
    viewer.requestRemote(u"12"_s);
    QTRY_COMPARE(ChangelogFixture::shownText(viewer), u"joined"_s);
    QCOMPARE(f.server.requests().size(), 1);
    QCOMPARE(QString::fromLatin1(f.server.requests().first().target),
             u"/m1/12/changelog_client.txt"_s);
}

void TestChangeLogViewer::alphaLocationIsTriedAlone()
{
    ChangelogFixture f;
    QVERIFY(f.writeFile(u"update.ini"_s,
                        "[Channel]\nalpha=" + f.server.urlText(u"/alpha"_s).toUtf8() + '\n'));
    QVERIFY(f.writeMirrorsIni({u"m1"_s}));
    f.server.setRoute(changelogPath(u"m1"_s), TestHttpServer::Behaviour::serve("stable"_ba));
    f.server.setRoute(changelogPath(u"alpha"_s), TestHttpServer::Behaviour::notFound());

    ChangeLogViewer viewer(&f.network, f.installation());
    viewer.requestRemote(u"12"_s);
    QTRY_COMPARE(ChangelogFixture::shownText(viewer), failed);
    QCOMPARE(f.server.requestedPaths(), QStringList{changelogPath(u"alpha"_s)});
}

void TestChangeLogViewer::nothingToAsk()
{
    ChangelogFixture f;
    // An "update.ini" without an alpha location does not count as one.
    QVERIFY(f.writeFile(u"update.ini"_s, "[Channel]\nbeta=true\n"_ba));
    ChangeLogViewer viewer(&f.network, f.installation());
    viewer.requestRemote(u"12"_s);
    QCOMPARE(ChangelogFixture::shownText(viewer), failed);
    QVERIFY(f.server.requests().isEmpty());
}

void TestChangeLogViewer::decodesWithByteOrderMark_data()
{
    QTest::addColumn<QByteArray>("body");

    const QString text = u"Änderungen – v12\nΣ fixed"_s;
    auto encoded = [&text](QStringConverter::Encoding encoding) {
        QStringEncoder encoder(encoding, QStringConverter::Flag::WriteBom);
        return QByteArray(encoder.encode(text));
    };
    QTest::newRow("UTF-8 without mark") << text.toUtf8();
    QTest::newRow("UTF-8 with mark") << encoded(QStringConverter::Utf8);
    QTest::newRow("UTF-16LE") << encoded(QStringConverter::Utf16LE);
    QTest::newRow("UTF-16BE") << encoded(QStringConverter::Utf16BE);
    QTest::newRow("UTF-32LE") << encoded(QStringConverter::Utf32LE);
}

void TestChangeLogViewer::decodesWithByteOrderMark()
{
    QFETCH(QByteArray, body);

    ChangelogFixture f;
    QVERIFY(f.writeMirrorsIni({u"m1"_s}));
    f.server.setRoute(changelogPath(u"m1"_s), TestHttpServer::Behaviour::serve(body));
    ChangeLogViewer viewer(&f.network, f.installation());
    viewer.requestRemote(u"12"_s);
    QTRY_COMPARE(ChangelogFixture::shownText(viewer), u"Änderungen – v12\nΣ fixed"_s);
}

void TestChangeLogViewer::sizesToWidestLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("widestLine"); // empty: no line measures anything

    const QString longLine = u"- a much longer line of the log"_s;
    QTest::newRow("lines of text") << u"v12\n\n- a fix\n"_s + longLine + u"\n"_s << longLine;
    QTest::newRow("empty lines only") << u"\n\n\n"_s << QString();
    QTest::newRow("wider than the screen") << QString(2000, u'w') << QString(2000, u'w');
}

void TestChangeLogViewer::sizesToWidestLine()
{
    QFETCH(QString, text);
    QFETCH(QString, widestLine);

    ChangeLogViewer viewer(nullptr, InstallationLayout());
    const QRect available = viewer.screen()->availableGeometry();
    QVERIFY(available.isValid());
    const QFontMetrics metrics(viewer.findChild<QTextEdit*>(u"changeLogTextEdit"_s)->font());
    // The typewriter family: every character as wide as the next.
    QCOMPARE(metrics.horizontalAdvance(u"il"_s), metrics.horizontalAdvance(u"WM"_s));

    viewer.load(text);
    const int width = widestLine.isEmpty() ? ChangeLogViewer::defaultWidth
                                           : metrics.horizontalAdvance(widestLine) + 50;
    QCOMPARE(viewer.size(),
             QSize(std::min(width, available.width()), std::min(available.height(), 500)));
    QCOMPARE(ChangelogFixture::shownText(viewer), text);
}

void TestChangeLogViewer::onlyWebLinksOpen_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QStringList>("opened");
    QTest::addColumn<QStringList>("logged");

    QTest::newRow("web page") << u"https://sonavelle.example/notes"_s
                              << QStringList{u"https://sonavelle.example/notes"_s} << QStringList();
    QTest::newRow("local file")
            << u"file:///etc/passwd"_s << QStringList()
            << QStringList{
                       u"Not opening file:///etc/passwd: only http and https links are opened"_s};
    QTest::newRow("relative")
            << u"notes.html"_s << QStringList()
            << QStringList{u"Not opening notes.html: only http and https links are opened"_s};
}

void TestChangeLogViewer::onlyWebLinksOpen()
{
    QFETCH(QString, link);
    QFETCH(QStringList, opened);
    QFETCH(QStringList, logged);
    UrlRecorder browser(browserSchemes);
    ChangeLogViewer viewer(nullptr, InstallationLayout());
    QSignalSpy messages(&viewer, &ChangeLogViewer::message);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    const QString changelog = u"<p>v12: <a href=\"%1\">release notes</a></p>"_s.arg(link);
    viewer.load(changelog, Qt::AutoText);
    auto* view = viewer.findChild<QTextEdit*>(u"changeLogTextEdit"_s);
    const QString shown = view->toPlainText();

    clickText(*view, u"release notes"_s);
    QCOMPARE(browser.opened, opened);
    QStringList texts;
    for (const QList<QVariant>& arguments : std::as_const(messages))
        texts.append(arguments.at(0).toString());
    QCOMPARE(texts, logged);
    // The dialog goes on showing the change log.
    QCOMPARE(view->toPlainText(), shown);
}

void TestChangeLogViewer::releaseManifestVouchesForTheText_data()
{
    QTest::addColumn<QByteArray>("listed");  // the change log the manifest lists; "-": none
    QTest::addColumn<QByteArray>("forgery"); // signed beyond the manifest
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("logged"); // %1: the version's URL

    const QByteArray body = "<b>v12</b> notes";
    QTest::newRow("listed") << body << QByteArray() << u"v12 notes"_s << QString();
    QTest::newRow("no record") << "-"_ba << QByteArray() << QString::fromLatin1(body) << QString();
    QTest::newRow("another listed")
            << "x"_ba << QByteArray() << failed
            << u"Change log %1changelog_client.txt is not the one its release manifest lists"_s;
    QTest::newRow("forged manifest") << body << "\n"_ba << failed
                                     << u"Release manifest %1client_test.manifest failed its "
                                        u"check: the Ed25519 signature does not match"_s;
}

void TestChangeLogViewer::releaseManifestVouchesForTheText()
{
    QFETCH(QByteArray, listed);
    QFETCH(QByteArray, forgery);
    QFETCH(QString, shown);
    QFETCH(QString, logged);
    if (Ed25519::builtInKey().isEmpty())
        QSKIP("an updater without a manifest key checks no manifest");
    ChangelogFixture f;
    QVERIFY(f.writeMirrorsIni({u"m1"_s}));
    f.server.setRoute(changelogPath(u"m1"_s), TestHttpServer::Behaviour::serve("<b>v12</b> notes"));
    ReleaseManifest manifest = TestRelease(12, u"client_test"_s).manifest();
    if (listed != "-")
        manifest.setChangelog(Sha256::hexOf(listed), listed.size());
    const QByteArray text = manifest.toText();
    f.server.setRoute(u"/m1/12/client_test.manifest"_s, TestHttpServer::Behaviour::serve(text));
    f.server.setRoute(u"/m1/12/client_test.manifest.sig"_s,
                      TestHttpServer::Behaviour::serve(TestRelease::signManifest(text + forgery)));

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, &f.network, f.installation(), u"12"_s,
                                               u"client_test"_s);
    ChangeLogViewer* viewer = ChangeLogViewer::instance();
    const auto closeViewer = qScopeGuard([viewer] { delete viewer; });
    QSignalSpy messages(viewer, &ChangeLogViewer::message);
    QTRY_COMPARE(ChangelogFixture::shownText(*viewer), shown);
    QCOMPARE(messages.size(), logged.isEmpty() ? 0 : 1);
    if (!logged.isEmpty())
        QCOMPARE(messages.at(0).at(0).toString(), logged.arg(f.server.urlText(u"/m1/12/"_s)));
}

QTEST_MAIN(TestChangeLogViewer)
#include "tst_changelogviewer.moc"
