#include "releasetoolproductini.h"

#include "productinireader.h"
#include "releasetoolnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

FileSpecifications listsOf(const QList<ReleaseToolEntry>& entries, const QStringList& deletes)
{
    FileSpecifications lists;
    for (const ReleaseToolEntry& entry : entries) {
        lists.downloadList.append({entry.section, entry.key, QString::fromLatin1(entry.stored.md5),
                                   entry.stored.size});
        FileReplaceSpecification replace{entry.section, entry.key, {}, 0, {}};
        if (entry.compressed) {
            replace.unpackedMd5 = QString::fromLatin1(entry.unpacked.md5);
            replace.unpackedSize = entry.unpacked.size;
            replace.unpackedName = entry.installedPath;
        }
        lists.replaceList.append(replace);
    }
    lists.deleteList = deletes;
    return lists;
}

// The updater's order follows its INI reader; the comparison does not depend on it.
void sort(FileSpecifications& lists)
{
    const auto byPlace = [](const auto& a, const auto& b) {
        return std::tie(a.sourceDir, a.fileName) < std::tie(b.sourceDir, b.fileName);
    };
    std::sort(lists.downloadList.begin(), lists.downloadList.end(), byPlace);
    std::sort(lists.replaceList.begin(), lists.replaceList.end(), byPlace);
    lists.deleteList.sort();
}

bool createEmptyFile(const QString& path)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly);
}

} // namespace

ReleaseToolProductIni::ReleaseToolProductIni(QString path, QString clientType)
    : path(std::move(path))
    , clientType(std::move(clientType))
{}

QString ReleaseToolProductIni::valueOf(const ReleaseToolEntry& entry)
{
    QString value =
            QString::fromLatin1(entry.stored.md5) + u"::"_s + QString::number(entry.stored.size);
    if (entry.compressed)
        value += u"::"_s + QString::fromLatin1(entry.unpacked.md5) + u"::"_s +
                 QString::number(entry.unpacked.size) + u"::"_s + entry.installedPath;
    return value;
}

bool ReleaseToolProductIni::write(const QList<ReleaseToolEntry>& entries,
                                  const QStringList& deletes)
{
    // Written by the reader's own counterpart, so every name comes back exactly as it went in.
    QSettings ini(path, QSettings::IniFormat);
    for (const ReleaseToolEntry& entry : entries) {
        ini.beginGroup(entry.section);
        ini.setValue(entry.key, valueOf(entry));
        ini.endGroup();
    }
    ini.beginGroup(u"delete"_s);
    for (const QString& deleted : deletes)
        ini.setValue(deleted, QString());
    ini.endGroup();
    ini.sync();
    if (ini.status() != QSettings::NoError)
        return fail(u"cannot write the product ini %1"_s.arg(ReleaseToolNames::display(path)));
    return true;
}

bool ReleaseToolProductIni::checkUpdaterReading(const QList<ReleaseToolEntry>& entries,
                                                const QStringList& deletes)
{
    QByteArray text;
    FileSpecifications read;
    if (!this->read(text) || !readAsUpdater(text, deletes, read))
        return false;
    FileSpecifications meant = listsOf(entries, deletes);
    sort(meant);
    sort(read);
    if (read != meant)
        return fail(u"the updater would read the product ini otherwise than it is meant"_s);
    return true;
}

bool ReleaseToolProductIni::read(QByteArray& text)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        text = file.readAll();
        if (file.error() == QFile::NoError)
            return true;
    }
    return fail(u"cannot read the product ini %1: %2"_s.arg(ReleaseToolNames::display(path),
                                                            file.errorString()));
}

bool ReleaseToolProductIni::readAsUpdater(const QByteArray& text, const QStringList& installed,
                                          FileSpecifications& lists)
{
    const QTemporaryDir work;
    const QString tempDir = work.filePath(u"temp"_s);
    const QString appRoot = work.filePath(u"root"_s);
    QFile copy(tempDir + u'/' + clientType + u".ini"_s);
    const bool prepared =
            work.isValid() && QDir().mkpath(tempDir) && QDir().mkpath(appRoot) &&
            copy.open(QIODevice::WriteOnly) && copy.write(text) == text.size() && copy.flush() &&
            std::all_of(installed.cbegin(), installed.cend(),
                        [&](const auto& file) { return createEmptyFile(appRoot + u'/' + file); });
    if (!prepared)
        return fail(u"cannot prepare the check of the product ini in %1"_s.arg(
                ReleaseToolNames::display(QDir::tempPath())));

    ProductIniReader reader(clientType, SessionLayout(tempDir), InstallationLayout(appRoot));
    QString lastMessage;
    reader.setMessageSink([&lastMessage](const QString& message) { lastMessage = message; });
    return reader.read(lists) ||
           fail(u"the updater would reject the product ini (%1)"_s.arg(lastMessage));
}

bool ReleaseToolProductIni::fail(const QString& text)
{
    error = text;
    return false;
}
