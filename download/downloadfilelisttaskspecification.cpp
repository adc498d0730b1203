#include "downloadfilelisttaskspecification.h"

#include "downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

using namespace Qt::StringLiterals;

namespace {

// The directory part of a relative path; "." for a plain file name.
QString directoryOf(const QString& fileName)
{
    const qsizetype slash = fileName.lastIndexOf(u'/');
    return slash < 0 ? u"."_s : fileName.left(slash);
}

} // namespace

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
        QList<FileDownloadSpecification> list, QNetworkAccessManager* manager, Mirrors* mirrors,
        SessionLayout session, InstallationLayout installation, int streams, QObject* parent,
        double parentProgressRange)
    : ComposedTaskSpecification(qMax(1, streams), parentProgressRange, parent)
    , list(std::move(list))
    , manager(manager)
    , mirrors(mirrors)
    , session(std::move(session))
    , installation(std::move(installation))
{}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::reset()
{
    totalSize = 0;
    patchesApplied = 0;
    bytesSaved = 0;
    resetWithoutSubTasks();
}

void DownloadFileListTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                                 quint64& speed, bool& downloading)
{
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    // The whole list from the first tick on, not only the transfers that have begun.
    downloadTotal = static_cast<quint64>(totalSize);
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (list.isEmpty()) {
        emit message(u"No downloads needed"_s);
        finish();
        return;
    }
    if (!makeSubDirs())
        return;
    emit message(u"Downloading files"_s);
    for (const FileDownloadSpecification& file : list)
        totalSize += file.transferSize();
    // Every file weighs the same, whatever its size. A file's tasks exist only while it is
    // fetched: a list of any length holds `streams` of them at a time.
    const double weight = 1.0 / double(list.size());
    addSubTasksOnDemand(list.size(), [this, weight](qsizetype index) {
        auto* task = new DownloadFileTaskSpecification(list.at(index), manager, mirrors, session,
                                                       installation, this, weight);
        connect(task, &DownloadFileTaskSpecification::patchApplied, this, [this](qint64 saved) {
            ++patchesApplied;
            bytesSaved += saved;
        });
        connect(task, &DownloadFileTaskSpecification::patchAbandoned, this,
                [this](qint64 wholeFile) { totalSize += wholeFile; });
        return task;
    });
    setRunning();
    executeSubTasks();
}

void DownloadFileListTaskSpecification::subtasksDone()
{
    if (patchesApplied > 0)
        emit message(u"Patches made %1 files; %2 bytes fewer downloaded"_s.arg(
                QString::number(patchesApplied), QString::number(bytesSaved)));
    ComposedTaskSpecification::subtasksDone();
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    // The downloads only open their files; every directory must be there before the first.
    QSet<QString> done{u"."_s};
    const QDir tempDir(session.directory());
    for (const FileDownloadSpecification& file : list) {
        for (const QString& name : {file.fileName, file.patch.path}) {
            const QString directory = directoryOf(name);
            if (name.isEmpty() || done.contains(directory))
                continue;
            if (!tempDir.mkpath(directory)) {
                const QString text = u"Could not create dir %1"_s.arg(tempDir.canonicalPath() +
                                                                      u'/' + directory);
                emit message(text);
                errorCancel({Failure::Kind::Disk, text});
                return false;
            }
            done.insert(directory);
        }
    }
    return true;
}
