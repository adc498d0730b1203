#pragma once

#include "configuration.h"
#include "httpserver.h"
#include "signallog.h"
#include "testrelease.h"
#include "updateengine.h"
#include "updateengine_p.h"

#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

inline const QString clientType = QStringLiteral("client_test");
inline constexpr int version = 7;

// An application root with "mirrors.ini" naming one mirror on the test server, which serves a
// signed release of version 7; the system temporary directory is one of the test's own.
class EngineFixture
{
public:
    // Without the default files the test publishes a release of its own.
    explicit EngineFixture(bool withDefaultFiles = true)
        : previousTmpDir(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", systemTemp.path().toLocal8Bit());
        server.setServedDirectory(mirrorRoot.path());
        if (withDefaultFiles) {
            release.addFile(QStringLiteral("bin"), QStringLiteral("client"),
                            QByteArrayLiteral("client program"));
            release.addFile(QStringLiteral("data"), QStringLiteral("sounds/ring.wav"),
                            QByteArray(50000, 'r'));
        }
        configuration.clientType = clientType;
        configuration.clientVersion = version;
    }
    ~EngineFixture()
    {
        engine.reset();
        qputenv("TMPDIR", previousTmpDir);
    }

    [[nodiscard]] const InstallationLayout& installation() const
    {
        return configuration.installation();
    }

    [[nodiscard]] bool publish() { return publish(release); }
    [[nodiscard]] bool publish(const TestRelease& published)
    {
        if (!published.publish(mirrorRoot.filePath(QStringLiteral("m1"))))
            return false;
        const QByteArray mirrorsIni = "[mirrors]\nsize=1\n1\\mirror=m1\n\n[m1]\nurl=" +
                                      server.urlText(QStringLiteral("/m1")).toUtf8() + '\n';
        return TestRelease::writeFile(root.filePath(QStringLiteral("mirrors.ini")), mirrorsIni);
    }

    UpdateEngine& makeEngine()
    {
        engine = std::make_unique<UpdateEngine>(configuration, nullptr,
                                                std::chrono::milliseconds(100));
        watch();
        return *engine;
    }

    void watch()
    {
        log.watch(engine.get(), &UpdateEngine::message,
                  [](const QString& text) -> QString { return QStringLiteral("message ") + text; });
        log.watch(engine.get(), &UpdateEngine::error,
                  [](const QString& text) -> QString { return QStringLiteral("error ") + text; });
        log.watch(engine.get(), &UpdateEngine::fatalError,
                  [](const QString& text) -> QString { return QStringLiteral("fatal ") + text; });
        log.watch(engine.get(), &UpdateEngine::updateFinished,
                  []() -> QString { return QStringLiteral("updateFinished"); });
        log.watch(engine.get(), &UpdateEngine::updateCanceled, [](const QString& reason) {
            return reason.isEmpty() ? QStringLiteral("updateCanceled")
                                    : QStringLiteral("updateCanceled: ") + reason;
        });
        log.watch(engine.get(), &UpdateEngine::downloadProgress,
                  [](quint64 done, quint64 total, quint64 speed, bool downloading) -> QString {
                      return QStringLiteral("downloadProgress %1 %2 %3 %4")
                              .arg(done)
                              .arg(total)
                              .arg(speed)
                              .arg(downloading);
                  });
    }

    // The session directory of the engine's current run.
    [[nodiscard]] QString tempDir() const
    {
        return UpdateEnginePrivateAccess::sessionDirectory(*engine);
    }

    [[nodiscard]] QString sessionDirectory(int number) const
    {
        return systemTemp.filePath(QStringLiteral("sonavelle_temp_") + QString::number(number));
    }

    // The engine's own lines, without the per-file ones of the pipeline and the tick reports.
    [[nodiscard]] QStringList engineLines() const
    {
        QStringList events = log.events();
        events.removeIf([](const QString& e) {
            return e.startsWith(QStringLiteral("downloadProgress")) &&
                   e != QStringLiteral("downloadProgress 0 0 0 0");
        });
        return events;
    }

    QByteArray previousTmpDir;
    QTemporaryDir systemTemp;
    QTemporaryDir root;
    QTemporaryDir mirrorRoot;
    TestHttpServer server;
    TestRelease release{version, clientType};
    Configuration configuration{InstallationLayout(root.path())};
    std::unique_ptr<UpdateEngine> engine;
    SignalLog log;
};
