#include "treesnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray fileMd5(const QString& path)
{
    QFile file(path);
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !md5.addData(&file))
        return QByteArrayLiteral("(unreadable)");
    return md5.result().toHex();
}

QString readLink(const QString& path)
{
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t length =
            ::readlink(QFile::encodeName(path).constData(), target.data(), size_t(target.size()));
    return length < 0 ? QString() : QFile::decodeName(target.left(length));
}

TreeSnapshot::Entry entryAt(const QString& path)
{
    TreeSnapshot::Entry entry;
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return entry;
    entry.mode = status.st_mode & 07777;
    if (S_ISREG(status.st_mode)) {
        entry.kind = TreeSnapshot::Kind::File;
        entry.md5 = fileMd5(path);
    } else if (S_ISDIR(status.st_mode)) {
        entry.kind = TreeSnapshot::Kind::Dir;
    } else if (S_ISLNK(status.st_mode)) {
        entry.kind = TreeSnapshot::Kind::SymLink;
        entry.linkTarget = readLink(path);
    }
    return entry;
}

bool isAtOrBelow(const QString& path, const QString& top)
{
    return path == top || path.startsWith(top + QLatin1Char('/'));
}

} // namespace

TreeSnapshot TreeSnapshot::take(const QString& root)
{
    TreeSnapshot snapshot;
    const QDir rootDir(root);
    // Without FollowSymlinks the iterator lists links but does not descend through them.
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        snapshot.tree.insert(rootDir.relativeFilePath(path), entryAt(path));
    }
    return snapshot;
}

void TreeSnapshot::addFile(const QString& path, const QByteArray& content, uint mode)
{
    tree.insert(path, Entry{Kind::File, mode,
                            QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex(),
                            QString()});
}

void TreeSnapshot::addDir(const QString& path, uint mode)
{
    tree.insert(path, Entry{Kind::Dir, mode, QByteArray(), QString()});
}

void TreeSnapshot::rename(const QString& from, const QString& to)
{
    QMap<QString, Entry> moved;
    for (auto it = tree.begin(); it != tree.end();) {
        if (isAtOrBelow(it.key(), from)) {
            moved.insert(to + it.key().mid(from.size()), it.value());
            it = tree.erase(it);
        } else {
            ++it;
        }
    }
    remove(to);
    tree.insert(moved);
}

void TreeSnapshot::remove(const QString& path)
{
    tree.removeIf(
            [&path](QMap<QString, Entry>::iterator it) { return isAtOrBelow(it.key(), path); });
}

QString TreeSnapshot::diff(const TreeSnapshot& actual, const TreeSnapshot& expected)
{
    QSet<QString> paths;
    for (const QString& path : actual.tree.keys())
        paths.insert(path);
    for (const QString& path : expected.tree.keys())
        paths.insert(path);
    QStringList sorted(paths.cbegin(), paths.cend());
    sorted.sort();

    QString lines;
    for (const QString& path : std::as_const(sorted)) {
        const auto found = actual.tree.constFind(path);
        const auto wanted = expected.tree.constFind(path);
        if (found == actual.tree.cend())
            lines += QStringLiteral("\n  missing     %1: %2").arg(path, describe(*wanted));
        else if (wanted == expected.tree.cend())
            lines += QStringLiteral("\n  unexpected  %1: %2").arg(path, describe(*found));
        else if (*found != *wanted)
            lines += QStringLiteral("\n  differs     %1: %2, expected %3")
                             .arg(path, describe(*found), describe(*wanted));
    }
    return lines.isEmpty() ? QString() : QStringLiteral("The trees differ:") + lines;
}

QString TreeSnapshot::describe(const Entry& entry)
{
    const QString mode = QString::number(entry.mode, 8).rightJustified(4, QLatin1Char('0'));
    switch (entry.kind) {
    case Kind::File:
        return QStringLiteral("file %1 md5 %2").arg(mode, QString::fromLatin1(entry.md5));
    case Kind::Dir:
        return QStringLiteral("dir %1").arg(mode);
    case Kind::SymLink:
        return QStringLiteral("link to %1").arg(entry.linkTarget);
    case Kind::Other:
        break;
    }
    return QStringLiteral("other %1").arg(mode);
}

uint TreeSnapshot::newFileMode()
{
    // Reading the umask would mean changing it for a moment, under the feet of other threads.
    QTemporaryDir dir;
    QFile probe(dir.filePath(QStringLiteral("probe")));
    if (!probe.open(QIODevice::WriteOnly))
        return 0;
    probe.close();
    return entryAt(probe.fileName()).mode;
}

uint TreeSnapshot::newDirMode()
{
    QTemporaryDir dir;
    const QString probe = dir.filePath(QStringLiteral("probe"));
    return QDir().mkdir(probe) ? entryAt(probe).mode : 0;
}
