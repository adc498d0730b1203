#include "changelogviewer.h"
#include "ed25519.h"
#include "modalboxanswerer.h"
#include "newsbanner.h"
#include "sha256.h"
#include "singleinstancechecker.h"
#include "updateengine.h"
#include "urlclicklabel.h"
#include "urlrecorder.h"
#include "windowfixture.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr auto runTimeout = 20000; // milliseconds a whole update run may take

// The reason of the failure is in the box, not only in the details.
const QString cancelledBox = u"Update|Update cancelled: No mirror had version 7."_s;
const QString abortQuestion =
        u"Question|<p>Update in progress.</p><p>Are you sure you want to abort?</p>"_s;

QByteArray pngImage(const QSize& size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

// What the desktop would open for these schemes, recorded by the tests instead.
const QStringList browserSchemes{u"http"_s, u"https"_s, u"file"_s, u"javascript"_s};

QString refused(const QString& address)
{
    return u"Not opening %1: only http and https links are opened"_s.arg(address);
}

// The widgets that Tab visits, in order, starting at first.
QList<QWidget*> tabChain(QWidget* first, int count)
{
    QList<QWidget*> chain{first};
    QWidget* widget = first;
    while (chain.size() < count) {
        widget = widget->nextInFocusChain();
        if (widget == first)
            break;
        if (widget->focusPolicy() & Qt::TabFocus)
            chain.append(widget);
    }
    return chain;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void transferLabels_data();
    void transferLabels();
    void versionLabel_data();
    void versionLabel();
    void progressBar_data();
    void progressBar();
    void fixedSizeFormAndTabOrder();
    void detailsShowsLogAtItsEnd();
    void logLinesArePlainParagraphs();
    void hiddenLogTakesItsLinesInOrderWhenShown();
    void bannerImage();
    void linksNotOpenedAreLogged();
    void cancelledRestartedAndFinishedRuns();
    void closeWhileIdle();
    void closeWhileUpdatingAsksOnce();
    void closeQuestionAnsweredNo();
    void closeWhileCancellationUnderWay();
    void unattendedStartsAndLaunchesClient();
    void unattendedLeavesClientToUserWhileChangelogOpen();
    void secondStartRaisesWindow();
    void fatalErrorsEndTheProgram_data();
    void fatalErrorsEndTheProgram();
};

void TestMainWindow::init()
{
    // Runs of the real engine need releases signed with the key this build embeds.
    static const QStringList runs{u"cancelledRestartedAndFinishedRuns"_s,
                                  u"closeWhileUpdatingAsksOnce"_s,
                                  u"closeQuestionAnsweredNo"_s,
                                  u"closeWhileCancellationUnderWay"_s,
                                  u"unattendedStartsAndLaunchesClient"_s,
                                  u"unattendedLeavesClientToUserWhileChangelogOpen"_s};
    if (!DEVELOPMENT_KEY_EMBEDDED &&
        runs.contains(QString::fromLatin1(QTest::currentTestFunction())))
        QSKIP("this build embeds another public key than the development key");
}

void TestMainWindow::transferLabels_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<QStringList>("texts"); // done, total, speed

    QTest::newRow("remainder dropped") << quint64(1999) << quint64(1999) << quint64(1999)
                                       << QStringList{u"1 KB"_s, u"1 KB"_s, u"1 KB/s"_s};
    QTest::newRow("below one kilobyte") << quint64(999) << quint64(0) << quint64(0)
                                        << QStringList{u"0 KB"_s, u"0 KB"_s, u"0 KB/s"_s};
    QTest::newRow("thousands, not 1024") << quint64(2048) << quint64(123456789) << quint64(1000)
                                         << QStringList{u"2 KB"_s, u"123456 KB"_s, u"1 KB/s"_s};
    QTest::newRow("beyond 32 bits")
            << quint64(5'000'000'000'000) << quint64(9'999'999'999'999)
            << quint64(4'294'967'296'000)
            << QStringList{u"5000000000 KB"_s, u"9999999999 KB"_s, u"4294967296 KB/s"_s};
}

void TestMainWindow::transferLabels()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(QStringList, texts);

    WindowFixture f;
    MainWindow& window = f.makeWindow();
    const QList<QLabel*> labels{f.child<QLabel>("totalSizeLabel"), f.child<QLabel>("label_6"),
                                f.child<QLabel>("totalTotalSizeLabel"),
                                f.child<QLabel>("downloadSpeedLabel")};
    for (QLabel* label : labels)
        QVERIFY2(label->isHidden(), qPrintable(label->objectName()));

    window.onDownloadProgress(done, total, speed, true);
    for (QLabel* label : labels)
        QVERIFY2(!label->isHidden(), qPrintable(label->objectName()));
    QCOMPARE((QStringList{labels.at(0)->text(), labels.at(2)->text(), labels.at(3)->text()}),
             texts);
    QCOMPARE(labels.at(1)->text(), u"/"_s);

    window.onDownloadProgress(0, 0, 0, false);
    for (QLabel* label : labels)
        QVERIFY2(label->isHidden(), qPrintable(label->objectName()));
}

void TestMainWindow::versionLabel_data()
{
    QTest::addColumn<UpdateChannel>("channel");
    QTest::addColumn<QString>("versionName");
    QTest::addColumn<bool>("noUser");
    QTest::addColumn<QString>("text");

    const QString bold = u"<div style=\"font-weight:bold;font-size:14px\">"_s;
    const QString sentence = u"<div style=\"margin-top:8px\">You are currently on <strong>"_s;
    QTest::newRow("stable, no name") << UpdateChannel::Stable << QString() << false
                                     << sentence + u"Stable channel</strong>.</div>"_s;
    QTest::newRow("beta with name") << UpdateChannel::Beta << u"3.2 (build 77)"_s << false
                                    << bold + u"Update to Sonavelle 3.2 (build 77)</div>"_s +
                                               sentence + u"Beta channel</strong>.</div>"_s;
    QTest::newRow("alpha unattended") << UpdateChannel::Alpha << u"Nightly"_s << true
                                      << bold + u"Update to Sonavelle Nightly</div>"_s + sentence +
                                                 u"Alpha channel</strong>.</div>"_s;
    QTest::newRow("markup in the name, cut")
            << UpdateChannel::Stable << u"<img src=\"/dev/zero\">"_s + QString(60, u'x') << false
            << bold + u"Update to Sonavelle &lt;img src=&quot;/dev/zero&quot;&gt;"_s +
                       QString(MainWindow::maxVersionNameLength - 21, u'x') + u"</div>"_s +
                       sentence + u"Stable channel</strong>.</div>"_s;
    QTest::newRow("unknown channel") << static_cast<UpdateChannel>(5) << QString() << false
                                     << sentence + u" channel</strong>.</div>"_s;
}

void TestMainWindow::versionLabel()
{
    QFETCH(UpdateChannel, channel);
    QFETCH(QString, versionName);
    QFETCH(bool, noUser);
    QFETCH(QString, text);

    WindowFixture f;
    f.configuration.channel = channel;
    f.configuration.versionName = versionName;
    f.configuration.noUser = noUser;
    MainWindow& window = f.makeWindow();
    window.setUIToConfigSpecs();

    QCOMPARE(f.child<QLabel>("versionLabel")->text(), text);
    QCOMPARE(f.startButton()->isEnabled(), !noUser);
    QCOMPARE(f.startButton()->text(), u"Start Update"_s);
}

void TestMainWindow::progressBar_data()
{
    QTest::addColumn<qreal>("doneFrac");
    QTest::addColumn<int>("value");

    QTest::newRow("start") << qreal(0) << 0;
    QTest::newRow("truncated") << qreal(0.4567) << 456;
    QTest::newRow("almost done") << qreal(0.9999) << 999;
    QTest::newRow("done") << qreal(1) << 1000;
    QTest::newRow("weights summing above 1")
            << qreal(0.1 + 0.05 + 0.4 + 0.4 + 0.05 + 1e-12) << 1000;
}

void TestMainWindow::progressBar()
{
    QFETCH(qreal, doneFrac);
    QFETCH(int, value);

    WindowFixture f;
    MainWindow& window = f.makeWindow();
    window.onProgressUpdate(0.25);
    window.onProgressUpdate(doneFrac);
    QCOMPARE(f.progressBar()->value(), value);
}

void TestMainWindow::fixedSizeFormAndTabOrder()
{
    WindowFixture f;
    MainWindow& window = f.makeWindow();
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(window.windowTitle(), u"Sonavelle 3 Client Update"_s);
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(f.child<UrlClickLabel>("banner")->size(), QSize(468, 60));
    auto* logo = f.child<UrlClickLabel>("sonavelleLabel");
    QCOMPARE(logo->size(), QSize(48, 48));
    QCOMPARE(logo->pixmap().size(), QSize(48, 48));
    QCOMPARE(logo->url(), MainWindow::productWebSite());
    QVERIFY(!window.windowIcon().isNull());
    QVERIFY(!QImageReader(u":/images/application.ico"_s).read().isNull());

    QCOMPARE(tabChain(f.startButton(), 4),
             (QList<QWidget*>{f.startButton(), f.child<QWidget>("detailsButton"),
                              f.child<QWidget>("changelogButton"), f.log()}));
}

void TestMainWindow::detailsShowsLogAtItsEnd()
{
    WindowFixture f;
    MainWindow& window = f.makeWindow();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (int i = 1; i <= 40; ++i)
        window.onAppendText(u"line %1"_s.arg(i));
    QVERIFY(f.log()->isHidden());
    const int closedHeight = window.height();
    auto* details = f.child<QPushButton>("detailsButton");

    details->click();
    QVERIFY(f.log()->isVisible());
    QTRY_VERIFY(window.height() > closedHeight);
    QScrollBar* scrollBar = f.log()->verticalScrollBar();
    QTRY_VERIFY(scrollBar->maximum() > 0);
    QTRY_COMPARE(scrollBar->value(), scrollBar->maximum());

    details->click();
    QVERIFY(f.log()->isHidden());
    QTRY_COMPARE(window.height(), closedHeight);
}

void TestMainWindow::logLinesArePlainParagraphs()
{
    WindowFixture f;
    MainWindow& window = f.makeWindow();
    window.onAppendText(u"Downloading <b>bin/client</b> & more"_s);
    window.onAppendText(u"Mirror <m1> failed too many times, removing"_s);

    QCOMPARE(f.logLines(), (QStringList{u"Downloading <b>bin/client</b> & more"_s,
                                        u"Mirror <m1> failed too many times, removing"_s}));
    QCOMPARE(f.log()->document()->blockCount(), 2);
}

void TestMainWindow::hiddenLogTakesItsLinesInOrderWhenShown()
{
    WindowFixture f;
    MainWindow& window = f.makeWindow();
    auto* details = f.child<QPushButton>("detailsButton");
    window.onAppendText(u"hidden 1"_s);
    window.onAppendText(u"hidden 2"_s);
    QVERIFY(f.log()->document()->isEmpty()); // collected, not laid out

    details->click();
    window.onAppendText(u"shown"_s);
    details->click();
    window.onAppendText(u"hidden again"_s);
    details->click();

    QCOMPARE(f.logLines(),
             (QStringList{u"hidden 1"_s, u"hidden 2"_s, u"shown"_s, u"hidden again"_s}));
    QCOMPARE(f.log()->document()->blockCount(), 4);
}

void TestMainWindow::bannerImage()
{
    WindowFixture f;
    MainWindow& window = f.makeWindow();
    auto* banner = f.child<UrlClickLabel>("banner");

    window.onBannerFound("<html>not an image</html>"_ba, u"https://shop.example.org/x"_s);
    QVERIFY(banner->pixmap().isNull());
    QVERIFY(banner->toolTip().isEmpty());
    QVERIFY(banner->url().isEmpty());

    const QString clickUrl = u"https://shop.example.org:8443/offer?id=3"_s;
    window.onBannerFound(pngImage(QSize(936, 120)), clickUrl);
    QCOMPARE(banner->pixmap().size(), QSize(936, 120));
    QCOMPARE(banner->toolTip(), u"Click to open \"https://shop.example.org\""_s);
    QCOMPARE(banner->url(), clickUrl);
    QVERIFY(banner->hasScaledContents());
}

// The banner, the news and the change log each tell the details log of a link they did not open.
void TestMainWindow::linksNotOpenedAreLogged()
{
    WindowFixture f;
    QVERIFY(f.writeMirrorsIni());
    // Rich text, with its links, only as the signed manifest lists it.
    const QByteArray changes = "<p>v7: <a href=\"file:///etc/shadow\">notes</a></p>";
    ReleaseManifest manifest = f.release.manifest();
    manifest.setChangelog(Sha256::hexOf(changes), changes.size());
    QVERIFY(f.release.publishManifest(f.mirrorRoot.filePath(u"m1"_s), manifest));
    QVERIFY(TestRelease::writeFile(f.mirrorFile(u"7/changelog_client.txt"_s), changes));
    f.configuration.news = u"<!--URL=file:///news-->News"_s;
    UrlRecorder browser(browserSchemes);
    MainWindow& window = f.makeWindow();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setNews();
    window.onBannerFound(pngImage(QSize(468, 60)), u"javascript:alert(1)"_s);

    QTest::mouseClick(f.child<UrlClickLabel>("banner"), Qt::LeftButton);
    // Left of the text, which comes in from the right: the news's own address.
    QTest::mouseClick(f.child<NewsBanner>("newsBanner"), Qt::LeftButton, {}, QPoint(1, 1));
    f.child<QPushButton>("changelogButton")->click();
    auto* changelog = ChangeLogViewer::instance()->findChild<QTextEdit*>(u"changeLogTextEdit"_s);
    // An updater without a manifest key has nothing to vouch for markup: plain text, no link.
    QStringList refusals{refused(u"javascript:alert(1)"_s), refused(u"file:///news"_s)};
    if (Ed25519::builtInKey().isEmpty()) {
        QTRY_COMPARE(changelog->toPlainText(), QString::fromUtf8(changes));
    } else {
        QTRY_COMPARE(changelog->toPlainText(), u"v7: notes"_s);
        const QTextCursor link = changelog->document()->find(u"notes"_s);
        QTextCursor middle(changelog->document());
        middle.setPosition(link.selectionStart() + 2);
        QTest::mouseClick(changelog->viewport(), Qt::LeftButton, {},
                          changelog->cursorRect(middle).center());
        refusals.append(refused(u"file:///etc/shadow"_s));
    }

    QCOMPARE(browser.opened, QStringList());
    QCOMPARE(f.logLines(), refusals);
    ChangeLogViewer::instance()->close();
}

void TestMainWindow::cancelledRestartedAndFinishedRuns()
{
    WindowFixture f;
    // The mirror has nothing yet: the run fails and is cancelled.
    QVERIFY(f.writeMirrorsIni());
    QVERIFY(f.writeClientScript());
    MainWindow& window = f.makeWindow();
    window.setUIToConfigSpecs();
    window.show();
    ModalBoxAnswerer answerer({});

    f.startButton()->click();
    QVERIFY(!f.startButton()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(f.startButton()->text(), u"Restart"_s, runTimeout);
    QVERIFY(f.startButton()->isEnabled());
    QCOMPARE(answerer.boxesSeen().last(), cancelledBox);
    QCOMPARE(answerer.iconsSeen().last(), QMessageBox::Critical);
    // Every error was logged and shown as it came.
    for (const QString& box : answerer.boxesSeen().mid(0, answerer.boxesSeen().size() - 1)) {
        QVERIFY2(box.startsWith(u"Error|"_s), qPrintable(box));
        QVERIFY2(f.logLines().contains(box.mid(6)), qPrintable(box));
    }
    QCOMPARE(f.logLines().last(), u"Update cancelled"_s);
    QCOMPARE(f.progressBar()->value(), 0);
    QVERIFY(!f.clientStarted());

    // Published now: "Restart" runs a whole new update in the same window.
    QVERIFY(f.publish());
    const int boxesBefore = int(answerer.boxesSeen().size());
    f.startButton()->click();
    QVERIFY(!f.startButton()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(f.startButton()->text(), u"Start Sonavelle"_s, runTimeout);
    QVERIFY(f.startButton()->isEnabled());
    QCOMPARE(window.focusWidget(), f.startButton());
    QCOMPARE(f.progressBar()->value(), 1000);
    QCOMPARE(f.logLines().last(), u"Update successfully finished"_s);
    QCOMPARE(answerer.boxesSeen().size(), boxesBefore);
    QFile installed(f.root.filePath(u"client"_s));
    QVERIFY(installed.open(QIODevice::ReadOnly));
    QCOMPARE(installed.readAll(), "client program"_ba);

    // "Start Sonavelle" starts the client and closes the window.
    f.startButton()->click();
    QVERIFY(!window.isVisible());
    QTRY_VERIFY(f.clientStarted());
}

void TestMainWindow::closeWhileIdle()
{
    WindowFixture f;
    MainWindow& window = f.makeWindow();
    window.show();
    ModalBoxAnswerer answerer({});
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
    QVERIFY(answerer.boxesSeen().isEmpty());
}

void TestMainWindow::closeWhileUpdatingAsksOnce()
{
    WindowFixture f;
    QVERIFY(f.publish());
    f.server.setRoute(u"/m1/7/data/sounds/ring.wav"_s,
                      TestHttpServer::Behaviour::stall(QByteArray(50000, 'r'), 1000));
    MainWindow& window = f.makeWindow();
    window.show();
    f.startButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(f.server.requestedPaths().contains(u"/m1/7/data/sounds/ring.wav"_s),
                             runTimeout);

    // Closed twice from the event loop, as a user would: asked once, and the program ends with
    // code 0 once the cancellation is through, without the cancelled box.
    ModalBoxAnswerer answerer({QMessageBox::Yes});
    QList<bool> closed;
    QTimer::singleShot(0, &window, [&window, &closed] {
        closed.append(window.close());
        closed.append(window.close());
    });
    QCOMPARE(WindowFixture::runEventLoop(), 0);
    QCOMPARE(closed.size(), 2);
    QCOMPARE(closed.first(), false);
    QCOMPARE(answerer.boxesSeen(), QStringList{abortQuestion});
    QCOMPARE(answerer.buttonsSeen().first(), QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(answerer.hadDefaultButton().first(), false);
    QCOMPARE(f.logLines().last(), u"User aborted update"_s);
}

void TestMainWindow::closeQuestionAnsweredNo()
{
    WindowFixture f;
    QVERIFY(f.publish());
    f.server.setRoute(u"/m1/7/data/sounds/ring.wav"_s,
                      TestHttpServer::Behaviour::stall(QByteArray(50000, 'r'), 1000));
    MainWindow& window = f.makeWindow();
    window.show();
    f.startButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(f.server.requestedPaths().contains(u"/m1/7/data/sounds/ring.wav"_s),
                             runTimeout);

    ModalBoxAnswerer answerer({QMessageBox::No, QMessageBox::No});
    QVERIFY(!window.close());
    QVERIFY(!window.close());
    QCOMPARE(answerer.boxesSeen(), (QStringList{abortQuestion, abortQuestion}));
    QVERIFY(window.isVisible());

    // The run goes on undisturbed.
    f.server.resumeStalled();
    QTRY_COMPARE_WITH_TIMEOUT(f.startButton()->text(), u"Start Sonavelle"_s, runTimeout);
    QVERIFY(window.close());
}

void TestMainWindow::closeWhileCancellationUnderWay()
{
    WindowFixture f;
    QVERIFY(f.publish());
    MainWindow& window = f.makeWindow();
    window.show();
    // A prepared run is busy but cannot be cancelled yet: the cancellation stays under way.
    auto* engine = window.findChild<UpdateEngine*>();
    QVERIFY(engine->initialize());

    ModalBoxAnswerer answerer({QMessageBox::Yes});
    QVERIFY(!window.close());
    QVERIFY(!window.close());
    QVERIFY(!window.close());
    QCOMPARE(answerer.boxesSeen(), QStringList{abortQuestion});
    QVERIFY(window.isVisible());

    // When the run is cancelled at last, the program ends.
    QTimer::singleShot(0, engine, [engine] {
        engine->startUpdate();
        engine->cancelUpdate();
    });
    QCOMPARE(WindowFixture::runEventLoop(), 0);
    QCOMPARE(answerer.boxesSeen().size(), 1);
}

void TestMainWindow::unattendedStartsAndLaunchesClient()
{
    WindowFixture f;
    QVERIFY(f.publish());
    QVERIFY(f.writeClientScript());
    f.configuration.noUser = true;
    MainWindow& window = f.makeWindow();
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(!f.startButton()->isEnabled());

    // As the entry point schedules it: not a click on the disabled button.
    QTimer::singleShot(0, &window, &MainWindow::onAutoStartUpdate);
    QTRY_VERIFY_WITH_TIMEOUT(f.logLines().contains(u"Update successfully finished"_s), runTimeout);
    QTRY_VERIFY(f.clientStarted());
    QVERIFY(!window.isVisible());
    QCOMPARE(f.startButton()->text(), u"Start Update"_s);
}

void TestMainWindow::unattendedLeavesClientToUserWhileChangelogOpen()
{
    WindowFixture f;
    QVERIFY(f.publish());
    QVERIFY(TestRelease::writeFile(f.mirrorFile(u"7/changelog_client.txt"_s), "v7: faster"_ba));
    QVERIFY(f.writeClientScript());
    f.configuration.noUser = true;
    MainWindow& window = f.makeWindow();
    window.setUIToConfigSpecs();
    window.show();

    f.child<QPushButton>("changelogButton")->click();
    QVERIFY(ChangeLogViewer::instance());
    auto* changelog = ChangeLogViewer::instance()->findChild<QTextEdit*>(u"changeLogTextEdit"_s);
    QTRY_COMPARE(changelog->toPlainText(), u"v7: faster"_s);

    window.onAutoStartUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(f.startButton()->text(), u"Start Sonavelle"_s, runTimeout);
    QVERIFY(f.startButton()->isEnabled());
    QVERIFY(window.isVisible());
    QVERIFY(!f.clientStarted());

    ChangeLogViewer::instance()->close();
    QVERIFY(!ChangeLogViewer::instance());
}

void TestMainWindow::secondStartRaisesWindow()
{
    WindowFixture f;
    MainWindow& window = f.makeWindow();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* listener = window.findChild<SingleInstanceChecker*>();
    QVERIFY(listener);
    QVERIFY(listener->isListening());
    QSignalSpy received(listener, &SingleInstanceChecker::otherInstanceActivate);

    QWidget other;
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    other.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &other);

    // Any other text is ignored.
    QVERIFY(SingleInstanceChecker::checkExistingInstance(u"hello"_s));
    QVERIFY(received.wait());
    QCOMPARE(received.last().at(0).toString(), u"hello"_s);
    QCOMPARE(QApplication::activeWindow(), &other);

    QVERIFY(SingleInstanceChecker::checkExistingInstance(u"#"_s));
    QTRY_COMPARE(QApplication::activeWindow(), &window);
}

void TestMainWindow::fatalErrorsEndTheProgram_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<bool>("mirrorsIni");
    QTest::addColumn<QString>("tmpDir"); // relative to the test's temporary directory
    QTest::addColumn<bool>("start");
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("exitCode");

    // Reported by the engine from the event loop, with no update started.
    QTest::newRow("invalid proxy")
            << "[update]\nproxy=no proxy here\n"_ba << true << QString() << false
            << u"Error|'no proxy here' is an invalid proxy specification"_s << 2;
    QTest::newRow("mirrors.ini missing") << QByteArray() << false << QString() << true
                                         << u"Error|mirrors.ini is missing, cannot proceed."_s << 2;
    // The configuration's errors while the update starts.
    QTest::newRow("no temporary directory") << QByteArray() << true << u"gone"_s << true
                                            << u"Error|Unable to get temp directory."_s << 1;
    QTest::newRow("temporary directory unusable")
            << QByteArray() << true << u"a-file"_s << true
            << u"Error|Unable to create temp directory."_s << 1;
}

void TestMainWindow::fatalErrorsEndTheProgram()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(bool, mirrorsIni);
    QFETCH(QString, tmpDir);
    QFETCH(bool, start);
    QFETCH(QString, box);
    QFETCH(int, exitCode);

    WindowFixture f;
    if (!updateIni.isEmpty())
        QVERIFY(TestRelease::writeFile(f.root.filePath(u"update.ini"_s), updateIni));
    if (mirrorsIni)
        QVERIFY(f.writeMirrorsIni());
    if (!tmpDir.isEmpty()) {
        QVERIFY(TestRelease::writeFile(f.systemTemp.filePath(u"a-file"_s), "x"_ba));
        qputenv("TMPDIR", f.systemTemp.filePath(tmpDir).toLocal8Bit());
    }
    MainWindow& window = f.makeWindow();
    window.show();

    ModalBoxAnswerer answerer({QMessageBox::Ok});
    if (start)
        QTimer::singleShot(0, f.startButton(), &QPushButton::click);
    QCOMPARE(WindowFixture::runEventLoop(), exitCode);
    QCOMPARE(answerer.boxesSeen(), QStringList{box});
    QCOMPARE(answerer.iconsSeen(), QList<QMessageBox::Icon>{QMessageBox::Critical});
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
