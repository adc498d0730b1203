// Renders the main window in its states and the change-log dialog to PNG files, for looking at
// the interface without a desktop (scripts/screenshots).
//
//     sonavelle-screenshots <directory>

#include "changelogviewer.h"
#include "configuration.h"
#include "mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QEventLoop>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>

#include <chrono>
#include <cstdio>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString news = u"<b>Sonavelle 3.4</b> is out: clearer voice on weak connections, "
                     u"push-to-talk per channel and a lighter look. "
                     u"<a href=\"https://www.sonavelle.com/news\">Read more</a>"
                     u"<!--URL=https://www.sonavelle.com/news-->"_s;

const QStringList logLines{u"Starting update process"_s,
                           u"Download / check product ini"_s,
                           u"Downloading client_linux_amd64.ini"_s,
                           u"Downloading client_linux_amd64.ini finished"_s,
                           u"Downloading client_linux_amd64.ini.sig"_s,
                           u"Downloading client_linux_amd64.ini.sig finished"_s,
                           u"Compiling download and replace list"_s,
                           u"Downloading files"_s,
                           u"Downloading bin/sonavelle"_s,
                           u"Downloading lib/libvoiceengine.so"_s,
                           u"Downloading sounds/ring.wav"_s};

const QString changelog = u"Sonavelle 3.4.0\n"
                          u"===============\n"
                          u"\n"
                          u"New\n"
                          u"- Push-to-talk can be set per channel.\n"
                          u"- Noise suppression for weak microphones (Settings > Voice).\n"
                          u"\n"
                          u"Fixed\n"
                          u"- Reconnecting after a network change no longer drops the channel.\n"
                          u"- The volume of whispers follows the master volume.\n"
                          u"- Rare crash when a server closed a channel you were talking in.\n"
                          u"\n"
                          u"Sonavelle 3.3.2\n"
                          u"===============\n"
                          u"\n"
                          u"Fixed\n"
                          u"- Echo cancellation with USB headsets.\n"_s;

void wait(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(QWidget& widget, const QDir& directory, const QString& name)
{
    // Layouts follow changed texts from the event loop.
    wait(100ms);
    const QString path = directory.filePath(name + u".png"_s);
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "sonavelle-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(path));
    return true;
}

// A picture banner as the banner service would name one.
QByteArray bannerImage()
{
    QImage image(468, 60, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 468, 60);
    gradient.setColorAt(0, QColor(0x1f, 0xbf, 0xa8));
    gradient.setColorAt(1, QColor(0x3b, 0x4a, 0xd6));
    painter.fillRect(image.rect(), gradient);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPixelSize(20);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(image.rect().adjusted(16, 0, -16, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     u"Sonavelle Pro"_s);
    font.setPixelSize(13);
    font.setBold(false);
    painter.setFont(font);
    painter.drawText(image.rect().adjusted(16, 0, -16, 0), Qt::AlignVCenter | Qt::AlignRight,
                     u"Crystal-clear voice for your whole guild"_s);
    painter.end();
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

// Shows a window as the program does, with its banners filled and the news under way.
std::unique_ptr<MainWindow> showWindow(Configuration& configuration)
{
    auto window = std::make_unique<MainWindow>(configuration, [] {});
    window->setUIToConfigSpecs();
    window->show();
    window->setNews();
    window->onBannerFound(bannerImage(), u"https://www.sonavelle.com/pro"_s);
    // Let the news scroll in from the right.
    wait(7s);
    return window;
}

template<typename Widget>
Widget* child(QWidget& window, const char* name)
{
    return window.findChild<Widget*>(QString::fromLatin1(name));
}

// The next message box is saved as a picture and then answered with OK.
void saveNextBox(const QDir& directory, const QString& name, bool& saved)
{
    QTimer::singleShot(200ms, [directory, name, &saved] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        saved = save(*box, directory, name);
        box->button(QMessageBox::Ok)->click();
    });
}

bool englishStates(Configuration& configuration, const QDir& directory)
{
    configuration.versionName = u"3.4.0"_s;
    std::unique_ptr<MainWindow> window = showWindow(configuration);
    bool ok = save(*window, directory, u"01_ready"_s);

    child<QPushButton>(*window, "startButton")->setEnabled(false);
    for (const QString& line : logLines)
        window->onAppendText(line);
    window->onProgressUpdate(0.42);
    window->onDownloadProgress(12'345'678, 29'876'543, 1'234'567, true);
    ok = save(*window, directory, u"02_updating"_s) && ok;

    child<QPushButton>(*window, "detailsButton")->click();
    ok = save(*window, directory, u"03_details"_s) && ok;
    child<QPushButton>(*window, "detailsButton")->click();

    window->onAppendText(u"Update successfully finished"_s);
    window->onDownloadProgress(0, 0, 0, false);
    window->onProgressUpdate(1.0);
    window->onUpdateFinished();
    ok = save(*window, directory, u"04_done"_s) && ok;

    window = showWindow(configuration);
    child<QPushButton>(*window, "startButton")->setEnabled(false);
    for (const QString& line : logLines.mid(0, 4))
        window->onAppendText(line);
    window->onProgressUpdate(0.07);
    window->onAppendText(u"Mirror m1 failed too many times, removing"_s);
    window->onAppendText(u"There are no (more) known working mirrors available"_s);
    bool boxSaved = false;
    saveNextBox(directory, u"05_cancelled_box"_s, boxSaved);
    window->onUpdateCanceled(u"No mirror had version 1235"_s);
    ok = boxSaved && save(*window, directory, u"05_cancelled"_s) && ok;

    ChangeLogViewer viewer(nullptr, configuration.installation(), window.get());
    viewer.show();
    viewer.load(changelog);
    ok = save(viewer, directory, u"07_changelog"_s) && ok;
    return ok;
}

bool germanState(Configuration& configuration, const QDir& directory)
{
    const QString translations = QString::fromUtf8(TRANSLATIONS_DIR);
    QTranslator program;
    QTranslator toolkit;
    if (!program.load(translations + u"/update_de"_s)) {
        std::fprintf(stderr, "sonavelle-screenshots: no German translation in %s\n",
                     qPrintable(translations));
        return false;
    }
    QCoreApplication::installTranslator(&program);
    if (toolkit.load(translations + u"/qt_de"_s))
        QCoreApplication::installTranslator(&toolkit);

    configuration.channel = UpdateChannel::Beta;
    configuration.versionName = u"3.5 Beta 2"_s;
    std::unique_ptr<MainWindow> window = showWindow(configuration);
    child<QPushButton>(*window, "startButton")->setEnabled(false);
    window->onProgressUpdate(0.63);
    window->onDownloadProgress(18'765'432, 29'876'543, 2'345'678, true);
    return save(*window, directory, u"06_german"_s);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: sonavelle-screenshots <directory>\n");
        return 2;
    }
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(directory.path())) {
        std::fprintf(stderr, "sonavelle-screenshots: cannot make %s\n", argv[1]);
        return 1;
    }
    // An empty installation: no settings of the build directory find their way in.
    QTemporaryDir root;
    Configuration configuration{InstallationLayout(root.path())};
    configuration.clientVersion = 3400;
    configuration.news = news;

    const bool ok =
            englishStates(configuration, directory) && germanState(configuration, directory);
    return ok ? 0 : 1;
}
