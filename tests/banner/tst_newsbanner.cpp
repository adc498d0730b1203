#include "newsbanner.h"
#include "newsbanner_p.h"
#include "urlclicklabel.h"
#include "urlrecorder.h"

#include <QCursor>
#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <QTimerEvent>

#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int bannerWidth = 200;
constexpr int start = bannerWidth - NewsBanner::edgeMargin;
// Long enough that the timer never fires by itself: the tests send its ticks, and the two
// values tell which period runs.
constexpr std::chrono::milliseconds testScrollInterval = 1h;
constexpr std::chrono::milliseconds testPauseInterval = 2h;

const QString linkNews = u"<a href=\"http://link.example/\">WWWWWW</a> plain words"_s;

const QString localFile = u"file:///etc/passwd"_s;

QString refused(const QString& address)
{
    return u"Not opening %1: only http and https links are opened"_s.arg(address);
}

// What the desktop would open for these schemes, recorded by the tests instead.
const QStringList browserSchemes{u"http"_s,       u"https"_s,     u"file"_s,
                                 u"javascript"_s, u"sonavelle"_s, QString()};

// The banner in a shown window, as in the updater.
struct ShownBanner
{
    QWidget window;
    NewsBanner* banner = nullptr;
};

std::unique_ptr<ShownBanner> shownBanner(std::chrono::milliseconds scroll = testScrollInterval,
                                         std::chrono::milliseconds pause = testPauseInterval)
{
    auto shown = std::make_unique<ShownBanner>();
    shown->window.resize(bannerWidth + 40, 60);
    shown->banner = new NewsBanner(&shown->window, scroll, pause);
    shown->banner->setGeometry(0, 20, bannerWidth, 16);
    shown->window.show();
    return shown;
}

void tick(NewsBanner& banner, int count = 1)
{
    for (int i = 0; i < count; ++i) {
        QTimerEvent event(NewsBannerPrivateAccess::scrollTimerId(banner));
        QCoreApplication::sendEvent(&banner, &event);
    }
}

// The number of ticks until the line went blank.
int ticksUntilPause(NewsBanner& banner)
{
    for (int ticks = 1; ticks <= 1000000; ++ticks) {
        tick(banner);
        if (NewsBannerPrivateAccess::isPaused(banner))
            return ticks;
    }
    return -1;
}

// From 10 pixels inside the right edge until the text's end is more than 10 pixels past the
// left edge, half a pixel per tick.
int ticksForOnePass(const NewsBanner& banner)
{
    return 2 *
           (start + NewsBannerPrivateAccess::textSize(banner).width() + NewsBanner::edgeMargin + 1);
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList result;
    for (const QList<QVariant>& arguments : spy)
        result.append(arguments.at(0).toString());
    return result;
}

bool isBlank(NewsBanner& banner)
{
    const QImage image = banner.grab().toImage();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != image.pixel(0, 0))
                return false;
    return true;
}

} // namespace

class TestNewsBanner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void clickUrlComesFromTheComment_data();
    void clickUrlComesFromTheComment();
    void scrollsThroughPausesBlankAndComesBack();
    void runsWithTheDesignedPeriods();
    void narrowedWidgetRestartsFromItsNewEdge();
    void clicks_data();
    void clicks();
    void cursorShowsWhereLinksAre();
    void badNewsIsShownAsWellAsPossible_data();
    void badNewsIsShownAsWellAsPossible();
    void realTimerRunsTheCycle();
    void urlClickLabelOpensItsUrl_data();
    void urlClickLabelOpensItsUrl();
    void onlyWebAddressesOpen_data();
    void onlyWebAddressesOpen();
};

void TestNewsBanner::initTestCase()
{
    auto shown = shownBanner();
    shown->banner->setNews(linkNews);
    const int width = NewsBannerPrivateAccess::textSize(*shown->banner).width();
    QVERIFY2(width > 50 && width < bannerWidth - 40, "the font draws the test texts too wide");
}

void TestNewsBanner::clickUrlComesFromTheComment_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<QString>("clickUrl");

    QTest::newRow("URL key") << u"<!--URL=http://news.example/?a=b-->News"_s
                             << u"http://news.example/?a=b"_s;
    QTest::newRow("lower-case key") << u"<!--url=http://news.example/-->News"_s << QString();
    QTest::newRow("other key") << u"<!--LINK=http://news.example/-->News"_s << QString();
    QTest::newRow("space before the key") << u"<!-- URL=http://x.example/-->News"_s << QString();
    QTest::newRow("no equals sign") << u"<!--URL-->News"_s << QString();
    QTest::newRow("no comment") << u"Plain news"_s << QString();
    // Greedy: from the first opening to the last closing.
    QTest::newRow("two comments") << u"<!--URL=http://a.example/--> News <!--x-->"_s
                                  << u"http://a.example/--> News <!--x"_s;
}

void TestNewsBanner::clickUrlComesFromTheComment()
{
    QFETCH(QString, news);
    QFETCH(QString, clickUrl);
    auto shown = shownBanner();
    shown->banner->setNews(news);
    QCOMPARE(NewsBannerPrivateAccess::clickUrl(*shown->banner), clickUrl);
    shown->banner->setNews(u"Next news"_s);
    QCOMPARE(NewsBannerPrivateAccess::clickUrl(*shown->banner), QString());
}

void TestNewsBanner::scrollsThroughPausesBlankAndComesBack()
{
    auto shown = shownBanner();
    NewsBanner& banner = *shown->banner;
    QVERIFY(!NewsBannerPrivateAccess::isScrolling(banner));
    banner.setNews(linkNews);
    QVERIFY(NewsBannerPrivateAccess::isScrolling(banner));
    QCOMPARE(NewsBannerPrivateAccess::currentInterval(banner), testScrollInterval);
    QCOMPARE(NewsBannerPrivateAccess::scrollPosition(banner), start);
    QCOMPARE(banner.height(), NewsBannerPrivateAccess::textSize(banner).height());
    QCOMPARE(banner.maximumHeight(), NewsBannerPrivateAccess::textSize(banner).height());

    tick(banner);
    QCOMPARE(NewsBannerPrivateAccess::scrollPosition(banner), start - 0.5);
    QTimerEvent foreign(NewsBannerPrivateAccess::scrollTimerId(banner) + 1000);
    QCoreApplication::sendEvent(&banner, &foreign);
    QCOMPARE(NewsBannerPrivateAccess::scrollPosition(banner), start - 0.5);
    tick(banner, 199);
    QVERIFY(!isBlank(banner));

    QCOMPARE(ticksUntilPause(banner) + 200, ticksForOnePass(banner));
    QCOMPARE(NewsBannerPrivateAccess::currentInterval(banner), testPauseInterval);
    QCOMPARE(NewsBannerPrivateAccess::scrollPosition(banner), start);
    QVERIFY(isBlank(banner));

    // The pause is one tick of its own period; then the text comes in from the right again.
    tick(banner);
    QVERIFY(!NewsBannerPrivateAccess::isPaused(banner));
    QCOMPARE(NewsBannerPrivateAccess::currentInterval(banner), testScrollInterval);
    QCOMPARE(NewsBannerPrivateAccess::scrollPosition(banner), start - 0.5);
    QCOMPARE(ticksUntilPause(banner) + 1, ticksForOnePass(banner));
}

void TestNewsBanner::runsWithTheDesignedPeriods()
{
    NewsBanner banner;
    banner.resize(bannerWidth, 16);
    banner.setNews(u"News"_s);
    QCOMPARE(NewsBannerPrivateAccess::currentInterval(banner), 10ms);
    QVERIFY(ticksUntilPause(banner) > 0);
    QCOMPARE(NewsBannerPrivateAccess::currentInterval(banner), 3000ms);
}

void TestNewsBanner::narrowedWidgetRestartsFromItsNewEdge()
{
    auto shown = shownBanner();
    NewsBanner& banner = *shown->banner;
    banner.setNews(linkNews);
    tick(banner, 3);
    banner.resize(100, banner.height());
    banner.grab();
    QCOMPARE(NewsBannerPrivateAccess::scrollPosition(banner), 100 - NewsBanner::edgeMargin);
    tick(banner, 3);
    banner.grab();
    QCOMPARE(NewsBannerPrivateAccess::scrollPosition(banner), 100 - NewsBanner::edgeMargin - 1.5);
}

void TestNewsBanner::clicks_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<QString>("where");
    QTest::addColumn<QStringList>("opened");
    QTest::addColumn<QStringList>("logged");

    const QString withUrl = u"<!--URL=http://news.example/-->"_s + linkNews;
    const QStringList link{u"http://link.example/"_s};
    const QStringList news{u"http://news.example/"_s};
    const QStringList none;
    QTest::newRow("on the link") << withUrl << u"link"_s << link << none;
    QTest::newRow("beside the link") << withUrl << u"text"_s << news << none;
    QTest::newRow("beside the link, no click address") << linkNews << u"text"_s << none << none;
    // Nothing is drawn during the pause, so there is no link to hit where it would stand.
    QTest::newRow("during the pause") << withUrl << u"paused"_s << news << none;
    QTest::newRow("during the pause, no click address") << linkNews << u"paused"_s << none << none;
    // Only web addresses open, whether linked or named in the comment.
    QString localLinkNews = linkNews;
    localLinkNews.replace(u"http://link.example/"_s, localFile);
    QTest::newRow("link to a local file")
            << localLinkNews << u"link"_s << none << QStringList{refused(localFile)};
    QTest::newRow("click address of another scheme")
            << u"<!--URL=sonavelle:run-->"_s + linkNews << u"text"_s << none
            << QStringList{refused(u"sonavelle:run"_s)};
}

void TestNewsBanner::clicks()
{
    QFETCH(QString, news);
    QFETCH(QString, where);
    QFETCH(QStringList, opened);
    QFETCH(QStringList, logged);
    UrlRecorder browser(browserSchemes);
    auto shown = shownBanner();
    NewsBanner& banner = *shown->banner;
    QSignalSpy messages(&banner, &NewsBanner::message);
    banner.setNews(news);
    // The text now starts 40 pixels from the left edge.
    tick(banner, 2 * (start - 40));
    QPoint point(where == u"text" ? 40 + NewsBannerPrivateAccess::textSize(banner).width() - 3 : 42,
                 banner.height() / 2);
    QCOMPARE(banner.anchorAt(point).isEmpty(), where == u"text");
    if (where == u"paused") {
        QVERIFY(ticksUntilPause(banner) > 0);
        point.setX(start + 2);
    }

    QTest::mouseClick(&banner, Qt::LeftButton, {}, point);
    QCOMPARE(browser.opened, opened);
    QCOMPARE(texts(messages), logged);
}

void TestNewsBanner::cursorShowsWhereLinksAre()
{
    auto shown = shownBanner();
    NewsBanner& banner = *shown->banner;
    QVERIFY(QTest::qWaitForWindowExposed(&shown->window));
    banner.setNews(linkNews);
    tick(banner, 2 * (start - 40));
    const int y = banner.height() / 2;

    QCursor::setPos(banner.mapToGlobal(
            QPoint(40 + NewsBannerPrivateAccess::textSize(banner).width() - 3, y)));
    tick(banner);
    QCOMPARE(banner.cursor().shape(), Qt::ArrowCursor);

    int linkEnd = 42;
    while (!banner.anchorAt({linkEnd, y}).isEmpty())
        ++linkEnd;
    QCursor::setPos(banner.mapToGlobal(QPoint(linkEnd - 2, y)));
    tick(banner);
    QCOMPARE(banner.cursor().shape(), Qt::PointingHandCursor);
    // The link's end moves past a mouse that stays where it is.
    tick(banner, 4);
    QCOMPARE(banner.cursor().shape(), Qt::ArrowCursor);
}

void TestNewsBanner::badNewsIsShownAsWellAsPossible_data()
{
    QTest::addColumn<QString>("news");
    QTest::newRow("empty") << QString();
    QTest::newRow("unclosed tags") << u"<b><i><table><tr><td>News"_s;
    QTest::newRow("unterminated attribute") << u"<a href=\"http://x.example/>News"_s;
    QTest::newRow("unterminated comment") << u"<!--URL=http://x.example/ News"_s;
    QTest::newRow("stray closing tags") << u"</td></table></a>News</b>"_s;
    QTest::newRow("bad entities") << u"&#xFFFFFFFF; &#0; &bogus; News"_s;
    QTest::newRow("missing image") << u"<img src=\"file:///nonexistent/x.png\">News"_s;
    QTest::newRow("zero characters and lines") << QString(u"News\0<p>more</p><br>\0"_s);
    QTest::newRow("very long") << QString(2000, u'W');
    QTest::newRow("longer than shown") << QString(NewsBanner::maxNewsLength + 1, u'W');
    QTest::newRow("image of a resource") << u"<img src=\":/images/sonavelle_logo.png\">News"_s;
    QTest::newRow("image of endless data") << u"<img src=\"/dev/zero\">News"_s;
    QTest::newRow("image taller than the screen") << u"<img src=x width=10 height=30000>News"_s;
}

void TestNewsBanner::badNewsIsShownAsWellAsPossible()
{
    QFETCH(QString, news);
    auto shown = shownBanner();
    NewsBanner& banner = *shown->banner;
    QSignalSpy messages(&banner, &NewsBanner::message);
    banner.setNews(news);
    // As tall as the news, up to a bound that no news moves.
    QCOMPARE(banner.maximumHeight(),
             std::min(NewsBannerPrivateAccess::textSize(banner).height(),
                      NewsBanner::maxLines * banner.fontMetrics().height()));
    QCOMPARE(banner.height(), banner.maximumHeight());
    // Nothing the news names is loaded, and a news too long is cut with a line for the log.
    if (news.contains(u"<img"_s))
        QVERIFY(banner.height() < 40);
    QCOMPARE(messages.size(), news.size() > NewsBanner::maxNewsLength ? 1 : 0);
    // The whole cycle still runs: through, blank, and in again.
    QCOMPARE(ticksUntilPause(banner), ticksForOnePass(banner));
    tick(banner);
    QVERIFY(!NewsBannerPrivateAccess::isPaused(banner));
}

void TestNewsBanner::realTimerRunsTheCycle()
{
    auto shown = shownBanner(1ms, 20ms);
    NewsBanner& banner = *shown->banner;
    banner.resize(40, banner.height());
    banner.setNews(u"News"_s);
    QTRY_VERIFY_WITH_TIMEOUT(NewsBannerPrivateAccess::isPaused(banner), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!NewsBannerPrivateAccess::isPaused(banner), 20000);
    QVERIFY(NewsBannerPrivateAccess::scrollPosition(banner) < 40 - NewsBanner::edgeMargin);
}

void TestNewsBanner::urlClickLabelOpensItsUrl_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::newRow("left") << Qt::LeftButton;
    QTest::newRow("right") << Qt::RightButton;
}

void TestNewsBanner::urlClickLabelOpensItsUrl()
{
    QFETCH(Qt::MouseButton, button);
    UrlRecorder browser(browserSchemes);
    UrlClickLabel label;
    label.setUrl(u"http://first.example/"_s);
    label.setUrl(u"http://banner.example/offer?id=7"_s);
    QCOMPARE(label.url(), u"http://banner.example/offer?id=7"_s);
    QTest::mouseClick(&label, button);
    QCOMPARE(browser.opened, QStringList{u"http://banner.example/offer?id=7"_s});
}

void TestNewsBanner::onlyWebAddressesOpen_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("opened"); // empty: not opened, but logged

    QTest::newRow("http") << u"http://banner.example/offer?id=7"_s
                          << u"http://banner.example/offer?id=7"_s;
    QTest::newRow("https in upper case")
            << u"HTTPS://Shop.Example.org/x"_s << u"https://shop.example.org/x"_s;
    QTest::newRow("local file") << localFile << QString();
    QTest::newRow("script") << u"javascript:alert(1)"_s << QString();
    QTest::newRow("custom scheme") << u"sonavelle://run?what=x"_s << QString();
    QTest::newRow("relative") << u"offer.html"_s << QString();
    QTest::newRow("http without host") << u"http:offer.html"_s << QString();
    QTest::newRow("http with empty host") << u"http:///offer.html"_s << QString();
}

// The label stands for the three places that open addresses from the network: it asks the same
// question before it opens.
void TestNewsBanner::onlyWebAddressesOpen()
{
    QFETCH(QString, address);
    QFETCH(QString, opened);
    UrlRecorder browser(browserSchemes);
    UrlClickLabel label;
    QSignalSpy messages(&label, &UrlClickLabel::message);
    label.setUrl(address);
    QTest::mouseClick(&label, Qt::LeftButton);
    if (opened.isEmpty()) {
        QCOMPARE(browser.opened, QStringList());
        QCOMPARE(texts(messages), QStringList{refused(address)});
    } else {
        QCOMPARE(browser.opened, QStringList{opened});
        QCOMPARE(texts(messages), QStringList());
    }
}

QTEST_MAIN(TestNewsBanner)
#include "tst_newsbanner.moc"
