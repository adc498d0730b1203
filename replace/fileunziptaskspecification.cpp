#include "fileunziptaskspecification.h"

#include "filecopytaskspecification.h"

#include <QFile>

#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

constexpr unsigned unzipBlockSize = 0x4000;

} // namespace

FileUnzipTaskSpecification::FileUnzipTaskSpecification(const QString& source, const QString& target,
                                                       QObject* parent, double parentProgressRange,
                                                       std::optional<QFileDevice::Permissions> mode,
                                                       Placement placement)
    : SlowFileOpSpecification(u"Could not unzip '%1' to '%2'"_s.arg(source, target), source, target,
                              parent, parentProgressRange, placement)
    , mode(mode)
{}

std::unique_ptr<ASyncFunc> FileUnzipTaskSpecification::createFunction()
{
    return std::make_unique<FileUnzipFunc>(source, target, mode, placement);
}

FileUnzipFunc::FileUnzipFunc(const QString& source, const QString& target,
                             std::optional<QFileDevice::Permissions> mode, Placement placement)
    : SlowFileOpFunc(source, target)
    , mode(mode)
    , placement(placement)
{}

bool FileUnzipFunc::run()
{
    // unzipFile removes a partial target itself; removing target here could hit a file that
    // was there before and made the unpack fail.
    return unzipFile(target, source, mode, placement);
}

bool FileUnzipFunc::unzipFile(const QString& target, const QString& source,
                              std::optional<QFileDevice::Permissions> mode, Placement placement)
{
    gzFile in = gzopen(QFile::encodeName(source).constData(), "rb");
    if (in == nullptr)
        return false;
    // Freshly opened, so there is nothing to rewind; on a pipe it fails harmlessly.
    gzrewind(in);
    const auto readBlock = [in](char* block, qint64 capacity) -> qint64 {
        const int got = gzread(in, block, unsigned(capacity));
        if (got != 0)
            return got; // data, or -1 for a read or data error
        // gzread reports a stream that was cut short as a plain end; only gzerror tells.
        int status = Z_OK;
        gzerror(in, &status);
        return status == Z_OK ? 0 : -1;
    };
    char block[unzipBlockSize];
    const bool written = FileCopyFunc::writeNewFile(target, block, readBlock, mode, placement);
    const bool closed = gzclose(in) == Z_OK;
    // Over an existing file the name stays: the backup's undo puts the original back over it.
    if (written && !closed && placement == Placement::NewName)
        QFile::remove(target);
    return written && closed;
}
