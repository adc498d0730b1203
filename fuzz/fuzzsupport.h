#pragma once

// What the fuzz targets share: one application object per process, a scratch directory that lives
// as long as the process, and input files that QSettings really reads again.

#include <QByteArrayView>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTimeZone>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace FuzzSupport {

// An object that is made once and never destroyed: it stays reachable until the process is gone.
// The application object must outlive every call of the target, and tearing it down at exit
// would leave Qt's font and platform caches half freed, which the leak check at exit reports.
template<typename T>
union Immortal
{
    template<typename... Args>
    explicit Immortal(Args&&... args)
        : value(std::forward<Args>(args)...)
    {}
    ~Immortal() {} // leaves value alone on purpose
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    T value;
};

template<typename Application>
Application& application()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static Immortal<Application> app(argc, argv);
    return app.value;
}

// Created below $TMPDIR once per process (scripts/fuzz points that at its scratch directory).
inline const QString& scratchDir()
{
    static QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "fuzz: no temporary directory\n");
        std::abort();
    }
    static const QString path = dir.path();
    return path;
}

inline QByteArrayView bytes(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), qsizetype(size)};
}

// A failure of the harness itself, not of the code under test: stop loudly rather than fuzz on
// with a stale file.
[[noreturn]] inline void harnessFailure(const char* what)
{
    std::fprintf(stderr, "fuzz: harness failure: %s\n", what);
    std::abort();
}

// Writes one input to path. QSettings keeps parsed files in a process-wide cache and reads a file
// again only when its size or modification time changed; inputs come faster than the clock ticks,
// so every write gets a modification time of its own.
inline void writeInput(const QString& path, QByteArrayView content)
{
    static qint64 tick = 0;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content.data(), content.size()) != content.size())
        harnessFailure("cannot write the input file");
    const QDateTime stamp = QDateTime::fromSecsSinceEpoch(1'000'000'000 + ++tick, QTimeZone::utc());
    if (!file.setFileTime(stamp, QFileDevice::FileModificationTime))
        harnessFailure("cannot set the input file's time");
}

// A property of the code under test that the input broke: a crash, so libFuzzer keeps the input.
inline void check(bool condition, const char* property)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz: property violated: %s\n", property);
    std::abort();
}

} // namespace FuzzSupport
