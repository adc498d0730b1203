#pragma once

#include "banner.h"
#include "configuration.h"
#include "httpserver.h"
#include "installationlayout.h"
#include "mainwindow.h"
#include "processtools.h"
#include "singleinstancechecker.h"
#include "testrelease.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <chrono>
#include <memory>

// An application root of its own with "mirrors.ini" naming one mirror on the test server, a
// release of version 7 to publish there, the system temporary directory of the test's own, and
// the window under test.
class WindowFixture
{
public:
    static constexpr int version = 7;
    static constexpr int eventLoopTimedOut = 99;

    WindowFixture()
        : previousTmpDir(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", systemTemp.path().toLocal8Bit());
        server.setServedDirectory(mirrorRoot.path());
        release.addFile(QStringLiteral("bin"), QStringLiteral("client"),
                        QByteArrayLiteral("client program"));
        release.addFile(QStringLiteral("data"), QStringLiteral("sounds/ring.wav"),
                        QByteArray(50000, 'r'));
        configuration.clientType = QStringLiteral("client_test");
        configuration.clientVersion = version;
    }
    ~WindowFixture()
    {
        // Qt 6.4 leaks the callback of a host lookup whose receiver is gone before the answer.
        if (window) {
            if (auto* banner = window->findChild<Banner*>()) {
                const bool resolved = QTest::qWaitFor(
                        [banner] { return banner->state() != Banner::State::Resolving; });
                if (!resolved)
                    qWarning("the banner service's host was not resolved in time");
            }
        }
        window.reset();
        qputenv("TMPDIR", previousTmpDir);
    }
    WindowFixture(const WindowFixture&) = delete;
    WindowFixture& operator=(const WindowFixture&) = delete;

    [[nodiscard]] bool writeMirrorsIni()
    {
        const QByteArray mirrorsIni = "[mirrors]\nsize=1\n1\\mirror=m1\n\n[m1]\nurl=" +
                                      server.urlText(QStringLiteral("/m1")).toUtf8() + '\n';
        return TestRelease::writeFile(root.filePath(QStringLiteral("mirrors.ini")), mirrorsIni);
    }
    [[nodiscard]] bool publish()
    {
        return release.publish(mirrorRoot.filePath(QStringLiteral("m1"))) && writeMirrorsIni();
    }
    [[nodiscard]] QString mirrorFile(const QString& path) const
    {
        return mirrorRoot.filePath(QStringLiteral("m1/") + path);
    }

    // The client's start script leaves a marker behind, so a test sees that it ran.
    [[nodiscard]] bool writeClientScript()
    {
        const QString path = root.filePath(InstallationLayout::clientStartScript());
        if (!TestRelease::writeFile(path, "#!/bin/sh\necho started > \"$(dirname \"$0\")/" +
                                                  clientMarkerName().toUtf8() + "\"\n"))
            return false;
        return QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    }
    [[nodiscard]] static QString clientMarkerName() { return QStringLiteral("client_started"); }
    [[nodiscard]] bool clientStarted() const
    {
        return QFile::exists(root.filePath(clientMarkerName()));
    }

    // Put together as the entry point does: the real launcher and the window's own listener.
    MainWindow& makeWindow()
    {
        window = std::make_unique<MainWindow>(configuration, [this] {
            ProcessTools::startVq3Client(configuration.installation());
        });
        auto* listener = new SingleInstanceChecker(window.get());
        QObject::connect(listener, &SingleInstanceChecker::otherInstanceActivate, window.get(),
                         &MainWindow::onOtherInstanceActivate);
        return *window;
    }

    template<typename Widget>
    [[nodiscard]] Widget* child(const char* name) const
    {
        return window->findChild<Widget*>(QString::fromLatin1(name));
    }
    [[nodiscard]] QPushButton* startButton() const { return child<QPushButton>("startButton"); }
    [[nodiscard]] QTextEdit* log() const { return child<QTextEdit>("outputTextEdit"); }
    [[nodiscard]] QProgressBar* progressBar() const
    {
        return child<QProgressBar>("totalProgressBar");
    }
    // What the user reads on opening the details (a hidden log takes its lines only then).
    [[nodiscard]] QStringList logLines() const
    {
        if (log()->isHidden())
            child<QPushButton>("detailsButton")->click();
        return log()->toPlainText().split(QLatin1Char('\n'));
    }

    // Runs the application's event loop as the program does, until something ends it; the
    // result is the exit code asked for, or eventLoopTimedOut.
    static int runEventLoop(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, &watchdog,
                         [] { QCoreApplication::exit(eventLoopTimedOut); });
        watchdog.start(limit);
        return QCoreApplication::exec();
    }

    QByteArray previousTmpDir;
    QTemporaryDir systemTemp;
    QTemporaryDir root;
    QTemporaryDir mirrorRoot;
    TestHttpServer server;
    TestRelease release{version, QStringLiteral("client_test")};
    Configuration configuration{InstallationLayout(root.path())};
    std::unique_ptr<MainWindow> window;
};
