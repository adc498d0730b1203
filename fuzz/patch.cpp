// A binary delta of the suffix method, applied to a fixed old file of 64 KiB: the input is the
// patch as a mirror delivered it. Besides crashes it checks that an apply that succeeds gives the
// digest of the file it wrote and never more bytes than allowed. The stream sizes in the header
// are read before anything else, so a mutated input reaches each of the three streams; a seed
// has its differences packed by xz.

#include "fuzzsupport.h"
#include "sha256.h"
#include "suffixpatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;
using FuzzSupport::check;

namespace {

constexpr qint64 maxResult = 1024 * 1024;

struct Paths
{
    QString old;
    QString patch;
    QString result;
};

const Paths& paths()
{
    static const Paths made = [] {
        const QString dir = FuzzSupport::scratchDir() + u"/patch"_s;
        if (!QDir().mkpath(dir))
            FuzzSupport::harnessFailure("cannot create the patch directory");
        return Paths{dir + u"/old"_s, dir + u"/patch"_s, dir + u"/new"_s};
    }();
    return made;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    FuzzSupport::application<QCoreApplication>();
    // Half seeded bytes, half text: the seeds' patches add to both.
    QByteArray old(32 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(old.data()), old.size() / 4);
    old.append(QByteArray("the quick brown fox jumps over the lazy dog. ")
                       .repeated(745)
                       .left(32 * 1024));
    FuzzSupport::writeInput(paths().old, old);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Paths& where = paths();
    FuzzSupport::writeInput(where.patch, FuzzSupport::bytes(data, size));
    const Result<QByteArray> applied =
            SuffixPatch::apply(where.old, where.patch, where.result, maxResult);
    check(applied.ok() || !applied.failure().text.isEmpty(), "an apply fails without a reason");
    if (applied.ok()) {
        QFile result(where.result);
        check(result.open(QIODevice::ReadOnly), "the applied file is missing");
        const QByteArray made = result.readAll();
        check(made.size() <= maxResult, "an apply wrote more than allowed");
        check(Sha256::hexOf(made) == applied.value(),
              "an apply's digest is not that of what it wrote");
    }
    QFile::remove(where.result);
    return 0;
}
