#include "testrelease.h"

#include "ed25519.h"
#include "sha256.h"
#include "suffixpatch.h"
#include "testfiles.h"
#include "tomcryptutil.h"
#include "zstdpatch.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray md5(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

} // namespace

TestRelease::TestRelease(int version, QString clientType)
    : version(version)
    , clientType(std::move(clientType))
{}

void TestRelease::addFile(const QString& section, const QString& key, const QByteArray& content)
{
    releaseFiles.append({section, key, content, {}, {}});
}

void TestRelease::addCompressedFile(const QString& section, const QString& key,
                                    const QByteArray& content, const QString& unpackedName)
{
    releaseFiles.append({section, key, gzip(content), content, unpackedName});
}

void TestRelease::addRawEntry(const ReleaseFile& file)
{
    releaseFiles.append(file);
}

void TestRelease::addDelete(const QString& path)
{
    deletes.append(path);
}

QString TestRelease::iniPath() const
{
    return QString::number(version) + u'/' + clientType + u".ini"_s;
}

QByteArray TestRelease::productIni() const
{
    QByteArray ini;
    QString currentSection;
    for (const ReleaseFile& file : releaseFiles) {
        if (file.section != currentSection) {
            currentSection = file.section;
            ini += '[' + currentSection.toUtf8() + "]\n";
        }
        ini += file.key.toUtf8() + '=' + md5(file.content) +
               "::" + QByteArray::number(file.content.size());
        if (!file.unpackedName.isEmpty())
            ini += "::" + md5(file.unpacked) + "::" + QByteArray::number(file.unpacked.size()) +
                   "::" + file.unpackedName.toUtf8();
        ini += '\n';
    }
    if (!deletes.isEmpty()) {
        ini += "[delete]\n";
        for (const QString& path : deletes)
            ini += path.toUtf8() + "=1\n";
    }
    return ini;
}

QString TestRelease::addPatch(const QString& section, const QString& key,
                              const QByteArray& oldInstalled, BinaryPatch::Method method)
{
    const QString target = section + u'/' + key;
    const auto file = std::find_if(releaseFiles.cbegin(), releaseFiles.cend(), [&](const auto& f) {
        return f.section + u'/' + f.key == target;
    });
    Q_ASSERT(file != releaseFiles.cend());
    const QByteArray& content = file->unpackedName.isEmpty() ? file->content : file->unpacked;
    const Result<QByteArray> made = method != BinaryPatch::Method::Zstd
                                            ? SuffixPatch::make(oldInstalled, content)
                                            : ZstdPatch::make(oldInstalled, content);
    Q_ASSERT(made.ok());
    Patch patch{target, oldInstalled, made.value(), {}, method};
    patch.path = u"patches/%1/%2.%3"_s.arg(QLatin1StringView(Sha256::hexOf(oldInstalled)), target,
                                           QLatin1StringView(BinaryPatch::nameOf(method)));
    patches.append(patch);
    return patch.path;
}

bool TestRelease::publish(const QString& mirrorRoot) const
{
    const QString versionDir = mirrorRoot + u'/' + QString::number(version);
    for (const Patch& patch : patches) {
        if (!writeFile(versionDir + u'/' + patch.path, patch.bytes))
            return false;
    }
    for (const ReleaseFile& file : releaseFiles) {
        if (!writeFile(versionDir + u'/' + file.section + u'/' + file.key, file.content))
            return false;
    }
    const QByteArray ini = productIni();
    const QString iniFile = mirrorRoot + u'/' + iniPath();
    return writeFile(iniFile, ini) && writeFile(iniFile + u".sig"_s, sign(ini)) &&
           publishManifest(mirrorRoot, manifest());
}

ReleaseManifest TestRelease::manifest() const
{
    ReleaseManifest manifest;
    manifest.setClientType(clientType);
    manifest.setVersion(version);
    manifest.setReleased(QDateTime::currentDateTimeUtc());
    const QByteArray ini = productIni();
    manifest.setProductIni(Sha256::hexOf(ini), ini.size());
    for (const ReleaseFile& file : releaseFiles) {
        ReleaseManifestFile entry{file.section + u'/' + file.key,
                                  Sha256::hexOf(file.content),
                                  file.content.size(),
                                  {},
                                  0};
        if (!file.unpackedName.isEmpty()) {
            entry.unpackedSha256 = Sha256::hexOf(file.unpacked);
            entry.unpackedSize = file.unpacked.size();
        }
        // A raw entry may name a file twice; the manifest lists it once.
        static_cast<void>(manifest.addFile(entry));
    }
    for (const Patch& patch : patches)
        static_cast<void>(
                manifest.addPatch({patch.target, Sha256::hexOf(patch.source), patch.path,
                                   Sha256::hexOf(patch.bytes), patch.bytes.size(), patch.method}));
    return manifest;
}

bool TestRelease::publishManifest(const QString& mirrorRoot, const ReleaseManifest& manifest) const
{
    const QString file = mirrorRoot + u'/' + QString::number(version) + u'/' +
                         ReleaseManifest::fileName(clientType);
    const QByteArray text = manifest.toText();
    return writeFile(file, text) && writeFile(file + u".sig"_s, signManifest(text));
}

namespace {

// The manifest keys lie beside the development RSA key.
QString keyFile(const QString& name)
{
    return QFileInfo(QString::fromLocal8Bit(DEVELOPMENT_PRIVATE_KEY)).dir().filePath(name);
}

} // namespace

QByteArray TestRelease::manifestPublicKey()
{
    QFile key(keyFile(u"development_manifest_public.pem"_s));
    return key.open(QIODevice::ReadOnly) ? key.readAll() : QByteArray();
}

QByteArray TestRelease::signManifest(const QByteArray& data)
{
    QFile key(keyFile(u"development_manifest_private.pem"_s));
    const Result<QByteArray> signature =
            Ed25519::sign(key.open(QIODevice::ReadOnly) ? key.readAll() : QByteArray(), data);
    if (!signature.ok())
        qFatal("cannot sign with %s: %s", qPrintable(key.fileName()),
               qPrintable(signature.failure().text));
    return signature.value();
}

QByteArray TestRelease::sign(const QByteArray& data)
{
    static const bool initialized = [] {
        crypt_init();
        return true;
    }();
    Q_UNUSED(initialized);
    ScopedRsaKey key;
    key.load(DEVELOPMENT_PRIVATE_KEY);
    QByteArray signature(512, '\0');
    unsigned long size = signature.size();
    sign_msg(key.get(), reinterpret_cast<const unsigned char*>(data.constData()), data.size(),
             reinterpret_cast<unsigned char*>(signature.data()), &size);
    signature.resize(qsizetype(size));
    return signature;
}

bool TestRelease::writeFile(const QString& path, const QByteArray& data)
{
    return ::writeFile(path, data);
}

QByteArray TestRelease::gzip(const QByteArray& data)
{
    // zlib writes gzip files only; go through a temporary one.
    QTemporaryFile file;
    if (!file.open())
        return {};
    gzFile gz = gzopen(file.fileName().toLocal8Bit().constData(), "wb");
    if (!gz)
        return {};
    const int written = data.isEmpty() ? 0 : gzwrite(gz, data.constData(), unsigned(data.size()));
    if (gzclose(gz) != Z_OK || written != data.size())
        return {};
    file.seek(0);
    return file.readAll();
}
