#include "makedownloadreplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// The settings reader turns a value with unquoted commas into a list; a comma is legal in a
// file name, so the list is put back together.
QStringList fieldsOf(const QVariant& value)
{
    const QString text = value.typeId() == QMetaType::QStringList ? value.toStringList().join(u',')
                                                                  : value.toString();
    return text.split(u"::"_s, Qt::KeepEmptyParts, Qt::CaseSensitive);
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
    return QFile::exists(path) && CheckSigFunc::fileMatches(path, md5);
}

} // namespace

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unpackedName : fileName;
}

QString FileReplaceSpecification::destFileName(const QString& prefix) const
{
    const QString path = pureDestFilePath();
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString name = prefix + info.fileName();
    return info.path() == u"." ? name : info.path() + u'/' + name;
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(Configuration::getSpecialFileRenamePrefix());
}

void FileSpecifications::clear()
{
    downloadList.clear();
    replaceList.clear();
    deleteList.clear();
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
        Configuration* configuration, FileSpecifications& fileLists, QObject* parent,
        double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , configuration(configuration)
    , fileLists(&fileLists)
{}

std::unique_ptr<ASyncFunc> MakeDownloadReplaceListTaskSpecification::createFunction()
{
    auto func = std::make_unique<MakeDownloadReplaceListFunc>(
            configuration->clientType, configuration->tempDir, Configuration::getAppRootPath());
    // Posted from the pool thread before the result, so the lists are here when it arrives.
    connect(func.get(), &MakeDownloadReplaceListFunc::listsBuilt, this,
            &MakeDownloadReplaceListTaskSpecification::onListsBuilt, Qt::QueuedConnection);
    return func;
}

void MakeDownloadReplaceListTaskSpecification::onListsBuilt(FileSpecifications lists)
{
    workingLists = std::move(lists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool res)
{
    // Lists of a build that was reset meanwhile are stale: publish only a running build's.
    if (res && state == Running)
        *fileLists = std::exchange(workingLists, {});
    ASyncTaskSpecification::runDone(res);
}

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(const QString& clientType,
                                                         const QString& tempDir,
                                                         const QString& appRootPath)
    : clientType(clientType)
    , tempDir(tempDir)
    , appRootPath(appRootPath)
{}

int MakeDownloadReplaceListFunc::getFileCount(QSettings& settings)
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

bool MakeDownloadReplaceListFunc::run()
{
    fileLists.clear();
    entriesDone = 0;
    const QString iniPath = tempDir + u'/' + clientType + u".ini"_s;
    emit message(u"Compiling download and replace list"_s);

    QSettings ini(iniPath, QSettings::IniFormat);
    entryCount = getFileCount(ini);
    if (entryCount == 0) {
        emit message(u"No files in product ini"_s);
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
    emit listsBuilt(fileLists);
    return true;
}

bool MakeDownloadReplaceListFunc::addDeleteSection(const QStringList& keys)
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

bool MakeDownloadReplaceListFunc::addFileSection(QSettings& ini, const QString& section,
                                                 const QStringList& keys)
{
    for (const QString& key : keys) {
        advance();
        if (!addFileEntry(section, key, fieldsOf(ini.value(key))))
            return false;
    }
    return true;
}

bool MakeDownloadReplaceListFunc::addFileEntry(const QString& section, const QString& key,
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

bool MakeDownloadReplaceListFunc::rejectLine(const QString& section)
{
    emit message(u"Warning: product ini contains invalid line in section %1"_s.arg(section));
    return false;
}

void MakeDownloadReplaceListFunc::advance()
{
    ++entriesDone;
    emit progress(qreal(entriesDone) / entryCount);
}
