// patch-speed: how fast a patch is applied, in MB of output per second. Makes a file of the
// largest size that gets a delta (nearly) from seeded bytes, a new version with edits in a few
// places, the patch between them, and applies it the way the updater does (from and to files,
// hashing the result), keeping the best of a few rounds.

#include "zstdpatch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 size = ZstdPatch::maxFileSize - 1024 * 1024;
    QByteArray source(size, Qt::Uninitialized);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32*>(source.data()), size / 4);
    QByteArray target = source;
    for (qint64 at = size / 7; at < size; at += size / 7)
        target.replace(at, 16, "edited in place.");
    target.insert(size / 2, QByteArray(4096, 'n'));

    QByteArray patch;
    QString error;
    QTemporaryDir dir;
    if (!ZstdPatch::make(source, target, patch, error) ||
        !writeFile(dir.filePath(u"old"_s), source) || !writeFile(dir.filePath(u"patch"_s), patch)) {
        std::fprintf(stderr, "patch-speed: %s\n", qPrintable(error));
        return 1;
    }
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer timer;
        timer.start();
        QByteArray digest;
        if (!ZstdPatch::apply(dir.filePath(u"old"_s), dir.filePath(u"patch"_s),
                              dir.filePath(u"new"_s), target.size(), digest, error)) {
            std::fprintf(stderr, "patch-speed: %s\n", qPrintable(error));
            return 1;
        }
        best = std::min(best, double(timer.nsecsElapsed()) / 1e9);
    }
    std::printf("patch-speed: %lld bytes made from a %lld-byte patch in %.3f s: %.0f MB/s\n",
                static_cast<long long>(target.size()), static_cast<long long>(patch.size()), best,
                double(target.size()) / best / 1e6);
    return 0;
}
