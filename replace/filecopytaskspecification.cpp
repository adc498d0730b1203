#include "filecopytaskspecification.h"

#include <QFile>

#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype copyBlockSize = 64 * 1024;

} // namespace

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList,
                                                     const QString& source, const QString& target,
                                                     QObject* parent, double parentProgressRange)
    : SlowFileOpSpecification(u"Could not copy '%1' to '%2'"_s.arg(source, target), rollbackList,
                              source, target, parent, parentProgressRange)
{}

std::unique_ptr<ASyncFunc> FileCopyTaskSpecification::createFunction()
{
    return std::make_unique<FileCopyFunc>(source, target);
}

FileCopyFunc::FileCopyFunc(const QString& source, const QString& target)
    : SlowFileOpFunc(source, target)
{}

bool FileCopyFunc::run()
{
    return copyFile(source, target);
}

bool FileCopyFunc::writeNewFile(const QString& target, std::span<char> buffer,
                                const BlockReader& read)
{
    QFile out(target);
    // NewOnly: an existing file is neither truncated nor written through if it is a link.
    // Unbuffered: a failing write shows at the write that failed.
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;
    bool ok = true;
    for (;;) {
        const qint64 got = read(buffer.data(), qint64(buffer.size()));
        if (got == 0)
            break;
        if (got < 0 || out.write(buffer.data(), got) != got) {
            ok = false;
            break;
        }
    }
    // close() clears an earlier error once it succeeds itself, so ok carries the writes' verdict.
    out.close();
    if (ok && out.error() == QFileDevice::NoError)
        return true;
    out.remove();
    return false;
}

bool FileCopyFunc::copyFile(const QString& source, const QString& target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    std::vector<char> buffer(copyBlockSize);
    // Read to the end rather than to the size seen at the start: a pipe has none.
    return writeNewFile(target, buffer,
                        [&in](char* block, qint64 capacity) { return in.read(block, capacity); });
}
