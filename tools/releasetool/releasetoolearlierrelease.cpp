#include "releasetoolearlierrelease.h"

#include "filespecifications.h"
#include "releasetoolnames.h"
#include "releasetoolproductini.h"
#include "releasetoolscanner.h"
#include "wholefile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

// Unpacks gzip members one after the other, as the updater does, into at most limit bytes. False
// for anything but complete members that unpack to no more than that.
bool gunzip(const QByteArray& packed, qint64 limit, QByteArray& unpacked)
{
    constexpr int gzipWindowBits = 15 + 16;
    z_stream stream{};
    if (packed.size() > std::numeric_limits<uInt>::max() ||
        inflateInit2(&stream, gzipWindowBits) != Z_OK)
        return false;
    // One byte more than allowed shows a longer result.
    unpacked.resize(qsizetype(limit + 1));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.constData()));
    stream.avail_in = uInt(packed.size());
    stream.next_out = reinterpret_cast<Bytef*>(unpacked.data());
    stream.avail_out = uInt(unpacked.size());
    int result = inflate(&stream, Z_NO_FLUSH);
    while (result == Z_STREAM_END && stream.avail_in > 0 && inflateReset(&stream) == Z_OK)
        result = inflate(&stream, Z_NO_FLUSH);
    unpacked.resize(unpacked.size() - qsizetype(stream.avail_out));
    inflateEnd(&stream);
    return result == Z_STREAM_END && stream.avail_in == 0 && unpacked.size() <= limit;
}

bool matches(const QByteArray& bytes, const QString& md5, qint64 size)
{
    return bytes.size() == size &&
           WholeFile::sameDigest(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex(),
                                 md5);
}

} // namespace

ReleaseToolEarlierRelease::ReleaseToolEarlierRelease(QString earlier, QString mirrorRoot,
                                                     QString clientType)
    : earlier(std::move(earlier))
    , mirrorRoot(std::move(mirrorRoot))
    , clientType(std::move(clientType))
{}

bool ReleaseToolEarlierRelease::load()
{
    return isVersion() ? loadVersion() : loadDirectory();
}

QString ReleaseToolEarlierRelease::label() const
{
    return isVersion() ? earlier : ReleaseToolNames::display(earlier);
}

const ReleaseToolEarlierFile* ReleaseToolEarlierRelease::file(const QString& installedPath) const
{
    const auto found = files.constFind(installedPath);
    return found == files.constEnd() ? nullptr : &*found;
}

QString ReleaseToolEarlierRelease::readInstalled(const ReleaseToolEarlierFile& file,
                                                 QByteArray& bytes) const
{
    QFile input(file.sourcePath);
    const QString shown = ReleaseToolNames::display(file.sourcePath);
    if (!input.open(QIODevice::ReadOnly))
        return u"cannot read %1: %2"_s.arg(shown, input.errorString());
    // Whatever lies there now, a file of another size is not read into memory at all.
    if (file.listed && input.size() != file.storedSize)
        return differs(shown);
    bytes = input.readAll();
    if (input.error() != QFile::NoError)
        return u"cannot read %1: %2"_s.arg(shown, input.errorString());
    return file.listed ? checkListed(file, bytes) : QString();
}

// A version on the mirror may have been altered since it was published; a patch made from other
// bytes would fail on every installation.
QString ReleaseToolEarlierRelease::checkListed(const ReleaseToolEarlierFile& file,
                                               QByteArray& bytes) const
{
    const QString shown = ReleaseToolNames::display(file.sourcePath);
    if (!matches(bytes, file.storedMd5, file.storedSize))
        return differs(shown);
    if (!file.packed)
        return {};
    QByteArray unpacked;
    if (!gunzip(bytes, file.installedSize, unpacked) ||
        !matches(unpacked, file.installedMd5, file.installedSize))
        return u"%1 unpacks otherwise than the product ini of version %2 lists"_s.arg(shown,
                                                                                      earlier);
    bytes = std::move(unpacked);
    return {};
}

QString ReleaseToolEarlierRelease::differs(const QString& shown) const
{
    return u"%1 differs from the product ini of version %2"_s.arg(shown, earlier);
}

bool ReleaseToolEarlierRelease::isVersion() const
{
    return !earlier.isEmpty() &&
           std::all_of(earlier.cbegin(), earlier.cend(), [](QChar c) { return c.isDigit(); });
}

bool ReleaseToolEarlierRelease::loadDirectory()
{
    ReleaseToolScanner scanner;
    QList<ReleaseToolSourceFile> found;
    if (!scanner.scanDirectory(earlier, found))
        return fail(u"earlier release: %1"_s.arg(scanner.errorString()));
    for (const ReleaseToolSourceFile& source : std::as_const(found))
        files.insert(source.relativePath,
                     {source.absolutePath, source.size, false, false, {}, 0, {}});
    return true;
}

bool ReleaseToolEarlierRelease::loadVersion()
{
    const QString versionDir = mirrorRoot + u'/' + earlier;
    if (!QFileInfo(versionDir).isDir())
        return fail(u"earlier version %1 not found in %2"_s.arg(
                earlier, ReleaseToolNames::display(mirrorRoot)));
    ReleaseToolProductIni ini(versionDir + u'/' + clientType + u".ini"_s, clientType);
    QByteArray text;
    FileSpecifications lists;
    if (!ini.read(text) || !ini.readAsUpdater(text, {}, lists))
        return fail(u"earlier version %1: %2"_s.arg(earlier, ini.errorString()));
    // For an empty installation the updater downloads every file it installs, in the same order.
    const QString misread = u"earlier version %1: the updater would read its product ini "
                            u"otherwise than it is meant"_s.arg(earlier);
    if (lists.downloadList.size() != lists.replaceList.size())
        return fail(misread);
    for (qsizetype i = 0; i < lists.replaceList.size(); ++i) {
        const FileDownloadSpecification& download = lists.downloadList.at(i);
        const FileReplaceSpecification& replace = lists.replaceList.at(i);
        if (download.sourceDir != replace.sourceDir || download.fileName != replace.fileName)
            return fail(misread);
        const bool packed = replace.hasUnzip();
        files.insert(replace.pureDestFilePath(),
                     {versionDir + u'/' + download.sourceDir + u'/' + download.fileName,
                      packed ? replace.unpackedSize : download.size, true, packed, download.md5,
                      download.size, packed ? replace.unpackedMd5 : download.md5});
    }
    return true;
}

bool ReleaseToolEarlierRelease::fail(const QString& text)
{
    error = text;
    return false;
}
