#include "mappedfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

using namespace Qt::StringLiterals;

MappedFile::MappedFile(const QString& path)
    : file(path)
{}

bool MappedFile::openForReading()
{
    if (!file.open(QIODevice::ReadOnly)) {
        error = u"Could not open file %1 for reading"_s.arg(file.fileName());
        return false;
    }
    length = file.size();
    if (length == 0)
        return true;
    data = file.map(0, length);
    if (!data) {
        error = u"could not read file %1 correctly"_s.arg(file.fileName());
        return false;
    }
    return true;
}

bool MappedFile::openForReading(std::initializer_list<MappedFile*> files, QString& error)
{
    for (MappedFile* file : files) {
        if (!file->openForReading()) {
            error = file->errorString();
            return false;
        }
    }
    return true;
}

bool MappedFile::create(qint64 size)
{
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        error = u"Could not open file %1 for writing: %2"_s.arg(file.fileName(),
                                                                file.errorString());
        return false;
    }
    length = size;
    if (size == 0)
        return true;
    const int result = posix_fallocate(file.handle(), 0, size);
    if (result != 0) {
        error = u"Could not write file %1: %2"_s.arg(file.fileName(),
                                                     QString::fromLocal8Bit(std::strerror(result)));
        return false;
    }
    data = file.map(0, size);
    if (!data) {
        error = u"Could not write file %1: %2"_s.arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

QByteArrayView MappedFile::view() const
{
    return {reinterpret_cast<const char*>(data), data ? length : 0};
}
