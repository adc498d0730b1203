#include "releasetoolfilewriter.h"

#include "releasetooldigester.h"
#include "releasetoolnames.h"
#include "releasetoolparallel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <optional>
#include <vector>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype chunkSize = 256 * 1024;

// The bytes as they lie on the mirror, and their digests.
class StoredFile
{
public:
    explicit StoredFile(QFile& file)
        : file(file)
    {}

    [[nodiscard]] bool write(const char* data, qsizetype size)
    {
        digester.add(QByteArrayView(data, size));
        return file.write(data, size) == size;
    }

    [[nodiscard]] ReleaseToolDigest digest() { return digester.result(); }

private:
    QFile& file;
    ReleaseToolDigester digester;
};

// A gzip stream as the updater unpacks it. The header carries neither a name nor a time, so
// the same input always gives the same bytes.
class GzipDeflater
{
public:
    GzipDeflater()
        : output(chunkSize, Qt::Uninitialized)
    {
        constexpr int gzipWindowBits = 15 + 16;
        constexpr int memoryLevel = 9;
        valid = deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, gzipWindowBits, memoryLevel,
                             Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~GzipDeflater()
    {
        if (valid)
            deflateEnd(&stream);
    }
    GzipDeflater(const GzipDeflater&) = delete;
    GzipDeflater& operator=(const GzipDeflater&) = delete;

    [[nodiscard]] bool isValid() const { return valid; }

    // Compresses the data into the stored file; finish ends the stream.
    [[nodiscard]] bool deflate(const char* data, qsizetype size, bool finish, StoredFile& target)
    {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream.avail_in = uInt(size);
        int result = Z_OK;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = uInt(output.size());
            result = ::deflate(&stream, finish ? Z_FINISH : Z_NO_FLUSH);
            if (result == Z_STREAM_ERROR)
                return false;
            const qsizetype produced = output.size() - qsizetype(stream.avail_out);
            if (produced > 0 && !target.write(output.constData(), produced))
                return false;
        } while (stream.avail_out == 0);
        return !finish || result == Z_STREAM_END;
    }

private:
    z_stream stream{};
    QByteArray output;
    bool valid = false;
};

} // namespace

ReleaseToolFileWriter::ReleaseToolFileWriter(QString versionDir, int threads)
    : versionDir(std::move(versionDir))
    , threads(threads > 0 ? threads : QThread::idealThreadCount())
{}

bool ReleaseToolFileWriter::writeAll(QList<ReleaseToolEntry>& entries)
{
    if (!makeDirectories(entries))
        return false;

    ReleaseToolEntry* const data = entries.data();
    error = releaseToolFirstFailure(threads, entries.size(),
                                    [this, data](qsizetype index) { return write(data[index]); });
    return error.isEmpty();
}

bool ReleaseToolFileWriter::makeDirectories(const QList<ReleaseToolEntry>& entries)
{
    QSet<QString> directories;
    for (const ReleaseToolEntry& entry : entries)
        directories.insert(QFileInfo(targetPath(entry)).path());
    for (const QString& directory : std::as_const(directories)) {
        if (!QDir().mkpath(directory)) {
            error = u"cannot create directory %1"_s.arg(ReleaseToolNames::display(directory));
            return false;
        }
    }
    return true;
}

QString ReleaseToolFileWriter::write(ReleaseToolEntry& entry) const
{
    QFile source(entry.sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return u"cannot read %1: %2"_s.arg(ReleaseToolNames::display(entry.installedPath),
                                           source.errorString());
    QFile target(targetPath(entry));
    const QString targetShown = ReleaseToolNames::display(target.fileName());
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return u"cannot write %1: %2"_s.arg(targetShown, target.errorString());

    StoredFile stored(target);
    std::optional<GzipDeflater> deflater;
    // A plain file's own bytes are what is stored; only a compressed one has a second digest.
    std::optional<ReleaseToolDigester> unpacked;
    if (entry.compressed) {
        if (!deflater.emplace().isValid())
            return u"cannot compress %1: out of memory"_s.arg(targetShown);
        unpacked.emplace();
    }
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = source.read(buffer.data(), buffer.size());
        if (got < 0)
            return u"cannot read %1: %2"_s.arg(ReleaseToolNames::display(entry.installedPath),
                                               source.errorString());
        const bool end = got == 0;
        if (unpacked)
            unpacked->add(QByteArrayView(buffer.constData(), got));
        const bool ok = deflater ? deflater->deflate(buffer.constData(), got, end, stored)
                                 : stored.write(buffer.constData(), got);
        if (!ok)
            return u"cannot write %1: %2"_s.arg(targetShown, target.errorString());
        if (end)
            break;
    }
    if (!target.flush())
        return u"cannot write %1: %2"_s.arg(targetShown, target.errorString());
    target.close();

    entry.stored = stored.digest();
    if (unpacked)
        entry.unpacked = unpacked->result();
    return {};
}

QString ReleaseToolFileWriter::targetPath(const ReleaseToolEntry& entry) const
{
    return versionDir + u'/' + entry.section + u'/' + entry.key;
}
