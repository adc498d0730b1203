#include "productinireader.h"

#include "settingsfile.h"
#include "wholefile.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <limits>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

// A name from the product ini is joined to the application root, the temporary directory and a
// mirror's base URL; it must not lead out of any of them. A name starting with ":" counts as
// absolute too: Qt would read it from the program's own resources.
bool isSafeRelativePath(const QString& path)
{
    if (path.trimmed().isEmpty() || QDir::isAbsolutePath(path))
        return false;
    if (path.contains(u'\\') || path.contains(QChar(0)))
        return false;
    return !path.split(u'/').contains(u".."_s);
}

// Sizes are unsigned decimals; anything else, or more than a file can hold, reads as 0.
qint64 readSize(const QString& text)
{
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    return ok && value <= qulonglong(std::numeric_limits<qint64>::max()) ? qint64(value) : 0;
}

// A missing or unreadable file simply does not count as current.
bool existsWithDigest(const QString& path, const QString& md5)
{
    return QFile::exists(path) && WholeFile(path).matchesMd5(md5);
}

} // namespace

ProductIniReader::ProductIniReader(QString clientType, QString tempDir, QString appRootPath)
    : clientType(std::move(clientType))
    , tempDir(std::move(tempDir))
    , appRootPath(std::move(appRootPath))
{}

int ProductIniReader::getFileCount(QSettings& settings)
{
    int count = 0;
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        settings.beginGroup(group);
        count += int(settings.allKeys().size());
        settings.endGroup();
    }
    return count;
}

bool ProductIniReader::read(FileSpecifications& lists)
{
    fileLists.clear();
    entriesDone = 0;
    const QString iniPath = tempDir + u'/' + clientType + u".ini"_s;
    report(u"Compiling download and replace list"_s);

    QSettings ini(iniPath, QSettings::IniFormat);
    entryCount = getFileCount(ini);
    if (entryCount == 0) {
        report(u"No files in product ini"_s);
        return false;
    }
    const QStringList sections = ini.childGroups();
    for (const QString& section : sections) {
        ini.beginGroup(section);
        const QStringList keys = ini.allKeys();
        const bool added =
                section == u"delete" ? addDeleteSection(keys) : addFileSection(ini, section, keys);
        ini.endGroup();
        if (!added)
            return false;
    }
    lists = std::exchange(fileLists, {});
    return true;
}

bool ProductIniReader::addDeleteSection(const QStringList& keys)
{
    for (const QString& key : keys) {
        advance();
        if (!isSafeRelativePath(key))
            return rejectLine(u"delete"_s);
        if (QFile::exists(appRootPath + u'/' + key))
            fileLists.deleteList.append(key);
    }
    return true;
}

bool ProductIniReader::addFileSection(QSettings& ini, const QString& section,
                                      const QStringList& keys)
{
    for (const QString& key : keys) {
        advance();
        const QString fields = AppRootSettings::readText(ini, key);
        if (!addFileEntry(section, key, fields.split(u"::"_s, Qt::KeepEmptyParts)))
            return false;
    }
    return true;
}

bool ProductIniReader::addFileEntry(const QString& section, const QString& key,
                                    const QStringList& fields)
{
    if (fields.size() != 2 && fields.size() != 5)
        return rejectLine(section);
    FileDownloadSpecification download{section, key, fields[0], readSize(fields[1])};
    FileReplaceSpecification replace{section, key, {}, 0, {}};
    if (fields.size() == 5) {
        replace.unpackedMd5 = fields[2];
        replace.unpackedSize = readSize(fields[3]);
        replace.unpackedName = fields[4];
    }
    if (!isSafeRelativePath(section) || !isSafeRelativePath(key) ||
        (replace.hasUnzip() && !isSafeRelativePath(replace.unpackedName)))
        return rejectLine(section);

    const QString installedMd5 = replace.hasUnzip() ? replace.unpackedMd5 : download.md5;
    if (existsWithDigest(appRootPath + u'/' + replace.pureDestFilePath(), installedMd5))
        return true;
    fileLists.replaceList.append(std::move(replace));
    if (!existsWithDigest(tempDir + u'/' + download.fileName, download.md5))
        fileLists.downloadList.append(std::move(download));
    return true;
}

bool ProductIniReader::rejectLine(const QString& section)
{
    report(u"Warning: product ini contains invalid line in section %1"_s.arg(section));
    return false;
}

void ProductIniReader::advance()
{
    ++entriesDone;
    if (emitProgress)
        emitProgress(qreal(entriesDone) / entryCount);
}

void ProductIniReader::report(const QString& message) const
{
    if (emitMessage)
        emitMessage(message);
}
