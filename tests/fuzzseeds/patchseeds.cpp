// Writes the seeds of the patch fuzz target that SuffixPatch::make can make, each from the
// target's old file to a file made from it, into the directory given.

#include "fuzzseeds.h"
#include "suffixpatch.h"

#include <QFile>
#include <QList>

#include <cstdio>
#include <utility>

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_patch_seeds <corpus directory of the patch target>\n");
        return 2;
    }
    const QByteArray old = fuzzPatchOldFile();
    QByteArray edits = old;
    for (qsizetype at = 1000; at < edits.size(); at += 9000)
        edits[at] = char(edits.at(at) + 16);
    QByteArray insertion = old;
    insertion.insert(40000, "an insertion into the text ");
    const QList<std::pair<const char*, QByteArray>> seeds{
            {"edits", edits},
            {"insertion", insertion},
            {"from-nothing",
             QByteArray("a file that shares nothing with the old one\n").repeated(20)},
            {"to-empty", QByteArray()}};
    for (const auto& [name, target] : seeds) {
        QByteArray patch;
        QString error;
        QFile file(QString::fromLocal8Bit(argv[1]) + u'/' + QLatin1String(name));
        if (!SuffixPatch::make(old, target, patch, error) || !file.open(QIODevice::WriteOnly) ||
            file.write(patch) != patch.size()) {
            std::fprintf(stderr, "%s: %s\n", name,
                         qPrintable(error.isEmpty() ? file.errorString() : error));
            return 1;
        }
    }
    return 0;
}
