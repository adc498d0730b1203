#include "releasemanifest.h"

#include <QStringDecoder>
#include <QStringTokenizer>
#include <QUtf8StringView>

#include <algorithm>
#include <initializer_list>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView manifestMagic = "sonavelle-release-manifest";
constexpr QByteArrayView clientTypeKind = "client-type";
constexpr QByteArrayView versionKind = "version";
constexpr QByteArrayView releasedKind = "released";
constexpr QByteArrayView productIniKind = "product-ini";
constexpr QByteArrayView fileKind = "file";
constexpr QByteArrayView patchKind = "patch";
// A patch of another method than zstd; updaters from before it skip the record.
constexpr QByteArrayView patchWithKind = "patch-with";
constexpr QByteArrayView modeKind = "mode";
// The only two modes: what the updater sets, whatever else the client directory had.
constexpr QByteArrayView executableModeText = "0755";
constexpr QByteArrayView plainModeText = "0644";
constexpr QByteArrayView changelogKind = "changelog";

QString patchKey(const QString& target, const QByteArray& sourceSha256)
{
    return target + u'\t' + QLatin1StringView(sourceSha256);
}

bool isLowerHexDigest(QByteArrayView text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool hasControlCharacter(QStringView text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Joined to a mirror's URL or to the temporary directory, such a path stays below it.
bool isPlainRelativePath(QStringView path)
{
    if (path.isEmpty() || path.contains(u'\\') || hasControlCharacter(path))
        return false;
    for (const QStringView part : qTokenize(path, u'/')) {
        if (part.isEmpty() || part == u"." || part == u"..")
            return false;
    }
    return true;
}

} // namespace

ReleaseManifest::ReleaseManifest()
    : RecordText(manifestMagic, "manifest"_L1, "release manifest"_L1, maxSize)
{}

QString ReleaseManifest::fileName(const QString& clientType)
{
    return clientType + u".manifest"_s;
}

QString ReleaseManifest::signatureFileName(const QString& clientType)
{
    return fileName(clientType) + u".sig"_s;
}

bool ReleaseManifest::parse(QByteArrayView text)
{
    *this = ReleaseManifest();
    if (readLines(text, formatVersion) && checkComplete())
        return true;
    QString why = std::move(error);
    *this = ReleaseManifest();
    error = std::move(why);
    return false;
}

QByteArray ReleaseManifest::toText() const
{
    QByteArray text;
    text.reserve(256 + fileList.size() * 160);
    appendRecord(text, {manifestMagic, QByteArray::number(formatVersion)});
    appendRecord(text, {clientTypeKind, type.toUtf8()});
    appendRecord(text, {versionKind, QByteArray::number(clientVersion)});
    appendRecord(text, {releasedKind, releaseTime.toString(Qt::ISODate).toUtf8()});
    appendRecord(text, {productIniKind, iniSha256, QByteArray::number(iniSize)});
    if (!changelogDigest.isEmpty())
        appendRecord(text, {changelogKind, changelogDigest, QByteArray::number(changelogBytes)});
    for (const ReleaseManifestFile& file : fileList) {
        const QByteArray path = file.path.toUtf8();
        const QByteArray size = QByteArray::number(file.size);
        if (file.isPacked())
            appendRecord(text, {fileKind, path, file.sha256, size, file.unpackedSha256,
                                QByteArray::number(file.unpackedSize)});
        else
            appendRecord(text, {fileKind, path, file.sha256, size});
    }
    for (const ReleaseManifestPatch& patch : patchList) {
        const QByteArray size = QByteArray::number(patch.size);
        if (patch.method == BinaryPatch::Method::Zstd && !patch.namesMethod)
            appendRecord(text, {patchKind, patch.target.toUtf8(), patch.sourceSha256,
                                patch.path.toUtf8(), patch.sha256, size});
        else
            appendRecord(text, {patchWithKind, BinaryPatch::nameOf(patch.method).toByteArray(),
                                patch.target.toUtf8(), patch.sourceSha256, patch.path.toUtf8(),
                                patch.sha256, size});
    }
    for (const ReleaseManifestFile& file : fileList) {
        if (file.mode != FileMode::Unrecorded)
            appendRecord(text,
                         {modeKind, file.path.toUtf8(),
                          file.mode == FileMode::Executable ? executableModeText : plainModeText});
    }
    return text;
}

void ReleaseManifest::setReleased(const QDateTime& time)
{
    releaseTime = wholeSecondsUtc(time);
}

void ReleaseManifest::setProductIni(const QByteArray& sha256, qint64 size)
{
    iniSha256 = sha256;
    iniSize = size;
}

void ReleaseManifest::setChangelog(const QByteArray& sha256, qint64 size)
{
    changelogDigest = sha256;
    changelogBytes = size;
}

const ReleaseManifestFile* ReleaseManifest::file(const QString& path) const
{
    const auto found = fileIndex.constFind(path);
    return found == fileIndex.constEnd() ? nullptr : &fileList.at(*found);
}

bool ReleaseManifest::addFile(const ReleaseManifestFile& file)
{
    if (fileIndex.contains(file.path))
        return fail(u"file '%1' is listed twice"_s.arg(file.path));
    fileIndex.insert(file.path, fileList.size());
    fileList.append(file);
    return true;
}

const ReleaseManifestPatch* ReleaseManifest::patch(const QString& target,
                                                   const QByteArray& sourceSha256) const
{
    const auto found = patchIndex.constFind(patchKey(target, sourceSha256));
    return found == patchIndex.constEnd() ? nullptr : &patchList.at(*found);
}

bool ReleaseManifest::addPatch(const ReleaseManifestPatch& patch)
{
    if (!fileIndex.contains(patch.target))
        return fail(u"patch for '%1', which is not a listed file"_s.arg(patch.target));
    const QString key = patchKey(patch.target, patch.sourceSha256);
    if (patchIndex.contains(key))
        return fail(u"a second patch for '%1' from the same source"_s.arg(patch.target));
    if (patchPaths.contains(patch.path) || fileIndex.contains(patch.path))
        return fail(u"patch '%1' is listed twice"_s.arg(patch.path));
    patchIndex.insert(key, patchList.size());
    patchPaths.insert(patch.path);
    patchList.append(patch);
    return true;
}

bool ReleaseManifest::setMode(const QString& path, FileMode mode)
{
    const auto found = fileIndex.constFind(path);
    if (found == fileIndex.constEnd())
        return fail(u"mode for '%1', which is not a listed file"_s.arg(path));
    ReleaseManifestFile& file = fileList[*found];
    if (file.mode != FileMode::Unrecorded)
        return fail(u"a second mode for '%1'"_s.arg(path));
    file.mode = mode;
    return true;
}

bool operator==(const ReleaseManifest& a, const ReleaseManifest& b)
{
    return a.type == b.type && a.clientVersion == b.clientVersion &&
           a.releaseTime == b.releaseTime && a.iniSha256 == b.iniSha256 && a.iniSize == b.iniSize &&
           a.fileList == b.fileList && a.patchList == b.patchList &&
           a.changelogDigest == b.changelogDigest && a.changelogBytes == b.changelogBytes;
}

bool ReleaseManifest::readRecord(const Fields& fields)
{
    const QByteArrayView kind = fields.front();
    if (kind == clientTypeKind)
        return fields.size() == 2 ? readClientType(fields[1]) : wrongFieldCount(fields, "2"_L1);
    if (kind == versionKind)
        return fields.size() == 2 ? readVersion(fields[1]) : wrongFieldCount(fields, "2"_L1);
    if (kind == releasedKind)
        return fields.size() == 2 ? readReleased(fields[1]) : wrongFieldCount(fields, "2"_L1);
    if (kind == productIniKind)
        return fields.size() == 3 ? readProductIni(fields[1], fields[2])
                                  : wrongFieldCount(fields, "3"_L1);
    if (kind == fileKind)
        return fields.size() == 4 || fields.size() == 6 ? readFile(fields)
                                                        : wrongFieldCount(fields, "4 or 6"_L1);
    if (kind == patchKind)
        return fields.size() == 6 ? readPatch(fields, 1, BinaryPatch::Method::Zstd, false)
                                  : wrongFieldCount(fields, "6"_L1);
    if (kind == patchWithKind)
        return fields.size() == 7 ? readPatchWith(fields) : wrongFieldCount(fields, "7"_L1);
    if (kind == modeKind)
        return fields.size() == 3 ? readMode(fields) : wrongFieldCount(fields, "3"_L1);
    if (kind == changelogKind)
        return fields.size() == 3 ? readChangelog(fields) : wrongFieldCount(fields, "3"_L1);
    return unknownRecord(kind);
}

bool ReleaseManifest::readClientType(QByteArrayView value)
{
    if (!type.isEmpty())
        return secondRecord(clientTypeKind);
    const QString text = decode(value);
    if (text.isEmpty())
        return fail(u"the client type is empty"_s);
    // It names files beside the product ini.
    if (text.contains(u'/') || text.contains(u'\\') || hasControlCharacter(text))
        return fail(u"the client type '%1' contains '/', '\\' or a control character"_s.arg(text));
    type = text;
    return true;
}

bool ReleaseManifest::readVersion(QByteArrayView value)
{
    if (clientVersion != 0)
        return secondRecord(versionKind);
    qint64 number = 0;
    if (!readDecimal(value, "version"_L1, 1, std::numeric_limits<int>::max(), number))
        return false;
    clientVersion = int(number);
    return true;
}

bool ReleaseManifest::readReleased(QByteArrayView value)
{
    if (releaseTime.isValid())
        return secondRecord(releasedKind);
    return readTime(value, "release time"_L1, releaseTime);
}

bool ReleaseManifest::readProductIni(QByteArrayView sha256, QByteArrayView size)
{
    if (!iniSha256.isEmpty())
        return secondRecord(productIniKind);
    QByteArray digest;
    if (!readDigest(sha256, "digest"_L1, digest) ||
        !readDecimal(size, "size"_L1, 0, maxFileSize, iniSize))
        return false;
    iniSha256 = digest;
    return true;
}

bool ReleaseManifest::readFile(const Fields& fields)
{
    ReleaseManifestFile file;
    file.path = decode(fields[1]);
    if (!isPlainRelativePath(file.path))
        return fail(u"file '%1' is not a plain relative path"_s.arg(file.path));
    const bool packed = fields.size() == 6;
    return readDigest(fields[2], "digest"_L1, file.sha256) &&
           readDecimal(fields[3], "size"_L1, 0, maxFileSize, file.size) &&
           (!packed ||
            (readDigest(fields[4], "unpacked digest"_L1, file.unpackedSha256) &&
             readDecimal(fields[5], "unpacked size"_L1, 0, maxFileSize, file.unpackedSize))) &&
           addFile(file);
}

bool ReleaseManifest::readPatchWith(const Fields& fields)
{
    // A later method: its patches are left to the updaters that know it.
    const std::optional<BinaryPatch::Method> method = BinaryPatch::methodNamed(fields[1]);
    return method ? readPatch(fields, 2, *method, *method == BinaryPatch::Method::Zstd) : true;
}

// From fields[first] on: target, source digest, path, digest, size.
bool ReleaseManifest::readPatch(const Fields& fields, qsizetype first, BinaryPatch::Method method,
                                bool namesMethod)
{
    const QByteArrayView* field = fields.data() + first;
    ReleaseManifestPatch patch;
    patch.method = method;
    patch.namesMethod = namesMethod;
    patch.target = decode(field[0]);
    patch.path = decode(field[2]);
    // The target is read as a file's path: its record comes first.
    if (!isPlainRelativePath(patch.path))
        return fail(u"patch '%1' is not a plain relative path"_s.arg(patch.path));
    return readDigest(field[1], "source digest"_L1, patch.sourceSha256) &&
           readDigest(field[3], "digest"_L1, patch.sha256) &&
           readDecimal(field[4], "size"_L1, 0, maxFileSize, patch.size) && addPatch(patch);
}

bool ReleaseManifest::readMode(const Fields& fields)
{
    // The path is read as a file's: its record comes first.
    const QString path = decode(fields[1]);
    const QByteArrayView value = fields[2];
    if (value != executableModeText && value != plainModeText)
        return fail(u"the mode '%1' of '%2' is not 0755 or 0644"_s.arg(decode(value), path));
    return setMode(path, value == executableModeText ? FileMode::Executable : FileMode::Plain);
}

bool ReleaseManifest::readChangelog(const Fields& fields)
{
    if (!changelogDigest.isEmpty())
        return secondRecord(changelogKind);
    QByteArray digest;
    if (!readDigest(fields[1], "digest"_L1, digest) ||
        !readDecimal(fields[2], "size"_L1, 0, maxChangelogSize, changelogBytes))
        return false;
    changelogDigest = digest;
    return true;
}

bool ReleaseManifest::checkComplete()
{
    const std::initializer_list<std::pair<bool, QByteArrayView>> records = {
            {type.isEmpty(), clientTypeKind},
            {clientVersion == 0, versionKind},
            {!releaseTime.isValid(), releasedKind},
            {iniSha256.isEmpty(), productIniKind},
    };
    for (const auto& [missing, kind] : records) {
        if (missing)
            return missingRecord(kind);
    }
    return checkModes();
}

bool ReleaseManifest::checkModes()
{
    // A release tool that records modes records them all; a file left out would be made a
    // program by its name alone, which is not what such a release means.
    const auto unrecorded = [](const ReleaseManifestFile& file) {
        return file.mode == FileMode::Unrecorded;
    };
    const auto missing = std::find_if(fileList.cbegin(), fileList.cend(), unrecorded);
    if (missing == fileList.cend() || std::all_of(fileList.cbegin(), fileList.cend(), unrecorded))
        return true;
    return fail(u"file '%1' has no mode record, though other files have one"_s.arg(missing->path));
}

bool ReleaseManifest::readDigest(QByteArrayView text, QLatin1StringView what, QByteArray& digest)
{
    if (!isLowerHexDigest(text))
        return fail(u"the %1 '%2' is not 64 lower-case hex digits"_s.arg(what, decode(text)));
    digest = text.toByteArray();
    return true;
}
