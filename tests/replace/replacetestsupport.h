#pragma once

#include "replacejournal.h"
#include "signallog.h"
#include "treesnapshot.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

// Helpers shared by the file replacement tests.

// The files of an installation, without the replacement journal that lies among them while a
// replacement has not been repaired or finished.
inline TreeSnapshot installedTree(const QString& root)
{
    TreeSnapshot tree = TreeSnapshot::take(root);
    tree.remove(ReplaceJournal::fileName());
    return tree;
}

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) &&
           file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes content gzip-compressed, as a release does.
inline bool writeGzip(const QString& path, const QByteArray& content)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    gzFile out = gzopen(QFile::encodeName(path).constData(), "wb");
    if (out == nullptr)
        return false;
    const bool written =
            content.isEmpty() ||
            gzwrite(out, content.constData(), unsigned(content.size())) == int(content.size());
    return gzclose(out) == Z_OK && written;
}

// Bytes that do not compress, so that a packed file spans many blocks of the unpacker.
inline QByteArray noise(qsizetype size, quint32 seed = 1)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char& byte : data)
        byte = char(generator.bounded(256));
    return data;
}

inline QString md5Hex(const QByteArray& content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

// A named pipe: a body reading from it blocks until the test feeds it, so a test can act while
// a copy or an unpack is in the middle of its work.
inline bool makeFifo(const QString& path)
{
    return QDir().mkpath(QFileInfo(path).path()) &&
           ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0;
}

// Waits until a reader has opened the pipe and returns its write end; -1 when none came. The
// reader sees the end of its input only once this end is closed (feedFifo).
inline int waitForFifoReader(const QString& path)
{
    int fd = -1;
    const bool opened = QTest::qWaitFor([&] {
        fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
        return fd != -1;
    });
    return opened ? fd : -1;
}

// Writes data and closes the pipe, which ends the reader's input.
inline bool feedFifo(int fd, const QByteArray& data)
{
    const int flags = ::fcntl(fd, F_GETFL);
    bool ok = flags != -1 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
    for (qsizetype done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        ok = n > 0;
        done += n;
    }
    return ::close(fd) == 0 && ok;
}

// While it lives, no file of this process may grow beyond limit bytes: a write past it fails as
// on a full disk, also for root. SIGXFSZ must be ignored.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved{};
};

inline QStringList withoutProgress(QStringList events)
{
    events.removeIf([](const QString& e) { return e.contains(QStringLiteral(" progress ")); });
    return events;
}
