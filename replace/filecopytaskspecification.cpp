#include "filecopytaskspecification.h"

#include "wholefile.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype copyBlockSize = 64 * 1024;

} // namespace

FileCopyTaskSpecification::FileCopyTaskSpecification(const QString& source, const QString& target,
                                                     QObject* parent, double parentProgressRange,
                                                     std::optional<QFileDevice::Permissions> mode,
                                                     Transfer transfer, Placement placement)
    : SlowFileOpSpecification(u"Could not copy '%1' to '%2'"_s.arg(source, target), source, target,
                              parent, parentProgressRange, placement)
    , mode(mode)
    , transfer(transfer)
{}

void FileCopyTaskSpecification::execute()
{
    if (!transferAtOnce()) {
        ASyncTaskSpecification::execute();
        return;
    }
    setRunning();
    runDone(true);
}

bool FileCopyTaskSpecification::transferAtOnce()
{
    switch (transfer) {
    case Transfer::Copy:
        return false;
    case Transfer::MoveWhenPossible:
        return FileCopyFunc::moveFile(source, target, mode, placement);
    case Transfer::LinkWhenPossible:
        return placement == Placement::NewName && FileCopyFunc::linkFile(source, target);
    }
    return false;
}

std::unique_ptr<ASyncFunc> FileCopyTaskSpecification::createFunction()
{
    // A move or link, if allowed, has been tried and has failed in execute().
    return std::make_unique<FileCopyFunc>(source, target, mode, placement);
}

FileCopyFunc::FileCopyFunc(const QString& source, const QString& target,
                           std::optional<QFileDevice::Permissions> mode, Placement placement)
    : SlowFileOpFunc(source, target)
    , mode(mode)
    , placement(placement)
{}

bool FileCopyFunc::run()
{
    return copyFile(source, target, mode, placement);
}

namespace {

bool isPlainFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink();
}

// One rename, whole at once, so no part name is needed. RENAME_NOREPLACE: a new name is never
// taken over a file that appeared there meanwhile.
bool renameFile(const QString& source, const QString& target,
                SlowFileOpSpecification::Placement placement)
{
    const unsigned flags =
            placement == SlowFileOpSpecification::Placement::NewName ? RENAME_NOREPLACE : 0;
    return ::renameat2(AT_FDCWD, QFile::encodeName(source).constData(), AT_FDCWD,
                       QFile::encodeName(target).constData(), flags) == 0;
}

} // namespace

bool FileCopyFunc::moveFile(const QString& source, const QString& target,
                            std::optional<QFileDevice::Permissions> mode, Placement placement)
{
    // Only a plain file of ours is moved; anything else is read like any source.
    if (!isPlainFile(source))
        return false;
    if (mode && !QFile::setPermissions(source, *mode))
        return false;
    return renameFile(source, target, placement);
}

bool FileCopyFunc::linkFile(const QString& source, const QString& target)
{
    return isPlainFile(source) && ::link(QFile::encodeName(source).constData(),
                                         QFile::encodeName(target).constData()) == 0;
}

const QString& FileCopyFunc::partFilePrefix()
{
    static const QString prefix = u".sonavelle_part_"_s;
    return prefix;
}

QString FileCopyFunc::partFilePath(const QString& target)
{
    const QFileInfo info(target);
    return info.path() + u'/' + partFilePrefix() + info.fileName();
}

bool FileCopyFunc::writeNewFile(const QString& target, std::span<char> buffer,
                                const BlockReader& read,
                                std::optional<QFileDevice::Permissions> mode, Placement placement)
{
    // A part file of ours left by a killed run is worthless; anything else under the name was
    // never ours to keep either, since the name is reserved.
    const QString part = partFilePath(target);
    QFile::remove(part);
    QFile out(part);
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
    if (ok)
        WholeFile::startWriteBack(out);
    // close() clears an earlier error once it succeeds itself, so ok carries the writes' verdict.
    out.close();
    ok = ok && out.error() == QFileDevice::NoError;
    if (ok && mode)
        ok = out.setPermissions(*mode);
    if (ok && renameFile(part, target, placement))
        return true;
    QFile::remove(part);
    return false;
}

bool FileCopyFunc::copyFile(const QString& source, const QString& target,
                            std::optional<QFileDevice::Permissions> mode, Placement placement)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    std::vector<char> buffer(copyBlockSize);
    // Read to the end rather than to the size seen at the start: a pipe has none.
    return writeNewFile(
            target, buffer,
            [&in](char* block, qint64 capacity) { return in.read(block, capacity); }, mode,
            placement);
}
