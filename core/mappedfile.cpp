#include "mappedfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

Failure diskFailure(QString text)
{
    return {Failure::Kind::Disk, std::move(text)};
}

} // namespace

MappedFile::MappedFile(const QString& path)
    : file(std::make_unique<QFile>(path))
{}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : file(std::move(other.file))
    , data(std::exchange(other.data, nullptr))
    , length(std::exchange(other.length, 0))
{}

Result<MappedFile> MappedFile::openForReading(const QString& path)
{
    MappedFile mapped(path);
    QFile& file = *mapped.file;
    if (!file.open(QIODevice::ReadOnly))
        return diskFailure(u"Could not open file %1 for reading"_s.arg(path));
    mapped.length = file.size();
    if (mapped.length == 0)
        return mapped;
    mapped.data = file.map(0, mapped.length);
    if (!mapped.data)
        return diskFailure(u"could not read file %1 correctly"_s.arg(path));
    return mapped;
}

Result<MappedFile> MappedFile::create(const QString& path, qint64 size)
{
    MappedFile mapped(path);
    QFile& file = *mapped.file;
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return diskFailure(
                u"Could not open file %1 for writing: %2"_s.arg(path, file.errorString()));
    mapped.length = size;
    if (size == 0)
        return mapped;
    const int result = posix_fallocate(file.handle(), 0, size);
    if (result != 0)
        return diskFailure(u"Could not write file %1: %2"_s.arg(
                path, QString::fromLocal8Bit(std::strerror(result))));
    mapped.data = file.map(0, size);
    if (!mapped.data)
        return diskFailure(u"Could not write file %1: %2"_s.arg(path, file.errorString()));
    return mapped;
}

QByteArrayView MappedFile::view() const
{
    return {reinterpret_cast<const char*>(data), data ? length : 0};
}
