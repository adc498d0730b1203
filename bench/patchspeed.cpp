// patch-speed: what binary deltas cost and give.
//
//   patch-speed                          apply throughput, in MB of output per second, of each
//                                        method on seeded bytes of 64 MiB with edits in a few
//                                        places, applied the way the updater does
//   patch-speed make METHOD OLD NEW PATCH  makes a patch; prints its size, the time and the peak
//                                        memory of this process
//   patch-speed apply METHOD OLD PATCH NEW  applies one; prints the time, the output's MB/s and
//                                        the largest anonymous memory (RssAnon) seen meanwhile
//
// METHOD is a name of the release manifest ("zstd", "suffix").

#include "binarypatch.h"
#include "suffixpatch.h"
#include "zstdpatch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool readFile(const QString& path, QByteArray& content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    content = file.readAll();
    return file.error() == QFile::NoError;
}

qint64 statusKiB(const char* key)
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qsizetype(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// Samples RssAnon every millisecond while it lives.
class AnonymousPeak
{
public:
    AnonymousPeak()
        : sampler([this] {
            while (!done) {
                peak = std::max(peak.load(), statusKiB("RssAnon:"));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        })
    {}
    ~AnonymousPeak() { stop(); }
    qint64 stop()
    {
        done = true;
        if (sampler.joinable())
            sampler.join();
        return std::max(peak.load(), statusKiB("RssAnon:"));
    }

private:
    std::atomic<bool> done = false;
    std::atomic<qint64> peak = 0;
    std::thread sampler;
};

int fail(const QString& text)
{
    std::fprintf(stderr, "patch-speed: %s\n", qPrintable(text));
    return 1;
}

bool make(BinaryPatch::Method method, const QByteArray& source, const QByteArray& target,
          QByteArray& patch, QString& error)
{
    const Result<QByteArray> made = method != BinaryPatch::Method::Zstd
                                            ? SuffixPatch::make(source, target)
                                            : ZstdPatch::make(source, target);
    patch = made.ok() ? made.value() : QByteArray();
    error = made.ok() ? QString() : made.failure().text;
    return made.ok();
}

int makeCommand(BinaryPatch::Method method, const QStringList& files)
{
    QByteArray source;
    QByteArray target;
    if (!readFile(files.at(0), source) || !readFile(files.at(1), target))
        return fail(u"cannot read the files"_s);
    QElapsedTimer timer;
    timer.start();
    QByteArray patch;
    QString error;
    if (!make(method, source, target, patch, error))
        return fail(error);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (!writeFile(files.at(2), patch))
        return fail(u"cannot write %1"_s.arg(files.at(2)));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("patch-speed make: %lld bytes in %.2f s, peak memory %lld KiB\n",
                static_cast<long long>(patch.size()), seconds,
                static_cast<long long>(usage.ru_maxrss));
    return 0;
}

int applyCommand(BinaryPatch::Method method, const QStringList& files)
{
    AnonymousPeak peak;
    QElapsedTimer timer;
    timer.start();
    const Result<QByteArray> applied = BinaryPatch::apply(method, files.at(0), files.at(1),
                                                          files.at(2), BinaryPatch::maxFileSize);
    if (!applied.ok())
        return fail(applied.failure().text);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const qint64 anonymous = peak.stop();
    const qint64 size = QFile(files.at(2)).size();
    std::printf("patch-speed apply: %lld bytes in %.3f s: %.0f MB/s, peak RssAnon %lld KiB\n",
                static_cast<long long>(size), seconds, double(size) / seconds / 1e6,
                static_cast<long long>(anonymous));
    return 0;
}

int throughput()
{
    const qint64 size = 64 * 1024 * 1024;
    QByteArray source(size, Qt::Uninitialized);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32*>(source.data()), size / 4);
    QByteArray target = source;
    for (qint64 at = size / 7; at < size; at += size / 7)
        target.replace(at, 16, "edited in place.");
    target.insert(size / 2, QByteArray(4096, 'n'));

    QTemporaryDir dir;
    if (!writeFile(dir.filePath(u"old"_s), source))
        return fail(u"cannot write the old file"_s);
    for (const auto method : {BinaryPatch::Method::Zstd, BinaryPatch::Method::Suffix}) {
        QByteArray patch;
        QString error;
        if (!make(method, source, target, patch, error) ||
            !writeFile(dir.filePath(u"patch"_s), patch))
            return fail(error);
        double best = 1e9;
        for (int round = 0; round < 3; ++round) {
            QElapsedTimer timer;
            timer.start();
            const Result<QByteArray> applied =
                    BinaryPatch::apply(method, dir.filePath(u"old"_s), dir.filePath(u"patch"_s),
                                       dir.filePath(u"new"_s), target.size());
            if (!applied.ok())
                return fail(applied.failure().text);
            best = std::min(best, double(timer.nsecsElapsed()) / 1e9);
        }
        std::printf("patch-speed: %s: %lld bytes made from a %lld-byte patch in %.3f s: %.0f "
                    "MB/s\n",
                    BinaryPatch::nameOf(method).data(), static_cast<long long>(target.size()),
                    static_cast<long long>(patch.size()), best, double(target.size()) / best / 1e6);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.isEmpty())
        return throughput();
    const auto method = BinaryPatch::methodNamed(arguments.value(1).toUtf8());
    if (arguments.size() != 5 || !method)
        return fail(u"usage: patch-speed [make|apply METHOD FILE FILE FILE]"_s);
    return arguments.at(0) == u"make" ? makeCommand(*method, arguments.mid(2))
                                      : applyCommand(*method, arguments.mid(2));
}
