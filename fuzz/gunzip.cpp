// The unpacking of a downloaded file: the input is the file as a mirror delivered it, unpacked by
// the body of the unpack task, run synchronously as the pool would run it. Besides crashes it
// catches a result that disagrees with the file system and anything left behind beside the
// target (a half-written file, a temporary name). An input of n bytes unpacks to at most about
// 1000 n bytes (deflate's best ratio); scripts/fuzz bounds n with -max_len.

#include "filetransferfunc.h"
#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;
using FuzzSupport::check;

namespace {

struct Paths
{
    QString dir;
    QString source;
    QString target;
};

const Paths& paths()
{
    static const Paths made = [] {
        const QString dir = FuzzSupport::scratchDir() + u"/unzip"_s;
        if (!QDir().mkpath(dir))
            FuzzSupport::harnessFailure("cannot create the unpack directory");
        return Paths{dir, dir + u"/download.gz"_s, dir + u"/lib/libvoice.so"_s};
    }();
    return made;
}

QStringList entriesBelow(const QString& dir)
{
    QStringList found;
    const QDir root(dir);
    const auto filter = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    for (const QString& entry : root.entryList(filter)) {
        const QString path = dir + u'/' + entry;
        found.append(path);
        if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink())
            found.append(entriesBelow(path));
    }
    return found;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    FuzzSupport::application<QCoreApplication>();
    const Paths& where = paths();
    if (!QDir().mkpath(where.dir + u"/lib"_s))
        FuzzSupport::harnessFailure("cannot create the target directory");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Paths& where = paths();
    FuzzSupport::writeInput(where.source, FuzzSupport::bytes(data, size));

    FileTransferFunc body(where.source, where.target, FileTransferFunc::Content::Gzip);
    const bool unpacked = !body.run().failed();

    QStringList expected{where.dir + u"/download.gz"_s, where.dir + u"/lib"_s};
    if (unpacked)
        expected.append(where.target);
    QStringList found = entriesBelow(where.dir);
    found.sort();
    expected.sort();
    check(found == expected, unpacked ? "something beside the unpacked file is left behind"
                                      : "a failed unpack left a file behind");
    if (unpacked && !QFile::remove(where.target))
        FuzzSupport::harnessFailure("cannot remove the unpacked file");
    return 0;
}
