#include "releasetoolmirrorcheck.h"

#include "releasetooldigester.h"
#include "releasetoolnames.h"
#include "releasetoolparallel.h"
#include "wholefile.h"

#include <QFile>
#include <QThread>

#include <algorithm>
#include <optional>
#include <vector>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype chunkSize = 256 * 1024;

// Unpacks gzip members one after the other, as the updater's unpacking does, into a digest.
class GzipInflater
{
public:
    GzipInflater()
        : output(chunkSize, Qt::Uninitialized)
    {
        constexpr int gzipWindowBits = 15 + 16;
        valid = inflateInit2(&stream, gzipWindowBits) == Z_OK;
    }
    ~GzipInflater()
    {
        if (valid)
            inflateEnd(&stream);
    }
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    [[nodiscard]] bool isValid() const { return valid; }
    // Whether the bytes so far are whole gzip members.
    [[nodiscard]] bool isComplete() const { return !broken && ended; }

    void inflate(QByteArrayView data, ReleaseToolDigester& target)
    {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        stream.avail_in = uInt(data.size());
        while (!broken) {
            if (ended && stream.avail_in > 0) {
                broken = inflateReset(&stream) != Z_OK;
                ended = false;
            }
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = uInt(output.size());
            const int result = ::inflate(&stream, Z_NO_FLUSH);
            broken = broken || (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR);
            target.add(QByteArrayView(output.constData(),
                                      output.size() - qsizetype(stream.avail_out)));
            ended = ended || result == Z_STREAM_END;
            // Output left inside zlib only when the buffer was filled.
            if (result == Z_BUF_ERROR || (stream.avail_in == 0 && stream.avail_out > 0))
                break;
        }
    }

private:
    z_stream stream{};
    QByteArray output;
    bool valid = false;
    bool broken = false;
    bool ended = false;
};

// For an empty installation every file is downloaded and installed, in the same order.
bool pairUp(const FileSpecifications& lists)
{
    return std::equal(lists.downloadList.cbegin(), lists.downloadList.cend(),
                      lists.replaceList.cbegin(), lists.replaceList.cend(),
                      [](const auto& download, const auto& replace) {
                          return download.sourceDir == replace.sourceDir &&
                                 download.fileName == replace.fileName;
                      });
}

bool matches(const ReleaseToolDigest& digest, const QString& md5, qint64 size)
{
    return digest.size == size && WholeFile::sameDigest(digest.md5, md5);
}

QString describe(const ReleaseToolDigest& digest, const QString& md5, qint64 size)
{
    return u"%1 bytes with MD5 sum %2, listed as %3 bytes with MD5 sum %4"_s.arg(
            QString::number(digest.size), QString::fromLatin1(digest.md5), QString::number(size),
            md5);
}

} // namespace

ReleaseToolMirrorCheck::ReleaseToolMirrorCheck(QString versionDir, int threads)
    : versionDir(std::move(versionDir))
    , threads(threads > 0 ? threads : QThread::idealThreadCount())
{}

bool ReleaseToolMirrorCheck::check(const FileSpecifications& lists,
                                   QList<ReleaseManifestFile>& files)
{
    if (!pairUp(lists)) {
        error = u"the updater would read the product ini otherwise than it is meant"_s;
        return false;
    }
    const qsizetype count = lists.downloadList.size();

    files.resize(count);
    ReleaseManifestFile* const data = files.data();
    error = releaseToolFirstFailure(threads, count, [this, &lists, data](qsizetype index) {
        return checkFile(lists.downloadList.at(index), lists.replaceList.at(index), data[index]);
    });
    return error.isEmpty();
}

QString ReleaseToolMirrorCheck::checkFile(const FileDownloadSpecification& download,
                                          const FileReplaceSpecification& replace,
                                          ReleaseManifestFile& file) const
{
    file.path = download.sourceDir + u'/' + download.fileName;
    QFile input(versionDir + u'/' + file.path);
    const QString shown = ReleaseToolNames::display(input.fileName());
    if (!input.open(QIODevice::ReadOnly))
        return u"cannot read %1: %2"_s.arg(shown, input.errorString());

    ReleaseToolDigester stored;
    std::optional<GzipInflater> inflater;
    std::optional<ReleaseToolDigester> unpacked;
    if (replace.hasUnzip()) {
        if (!inflater.emplace().isValid())
            return u"cannot unpack %1: out of memory"_s.arg(shown);
        unpacked.emplace();
    }
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    for (qint64 got = 0; (got = input.read(buffer.data(), buffer.size())) != 0;) {
        if (got < 0)
            return u"cannot read %1: %2"_s.arg(shown, input.errorString());
        const QByteArrayView block(buffer.constData(), got);
        stored.add(block);
        if (inflater)
            inflater->inflate(block, *unpacked);
    }

    const ReleaseToolDigest storedDigest = stored.result();
    if (!matches(storedDigest, download.md5, download.size))
        return u"%1 differs from the product ini: %2"_s.arg(
                shown, describe(storedDigest, download.md5, download.size));
    file.sha256 = storedDigest.sha256;
    file.size = storedDigest.size;
    if (!inflater)
        return {};
    if (!inflater->isComplete())
        return u"%1 is not a complete gzip stream"_s.arg(shown);
    const ReleaseToolDigest unpackedDigest = unpacked->result();
    if (!matches(unpackedDigest, replace.unpackedMd5, replace.unpackedSize))
        return u"%1 unpacks otherwise than the product ini lists: %2"_s.arg(
                shown, describe(unpackedDigest, replace.unpackedMd5, replace.unpackedSize));
    file.unpackedSha256 = unpackedDigest.sha256;
    file.unpackedSize = unpackedDigest.size;
    return {};
}
