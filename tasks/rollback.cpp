#include "rollback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>
#include <QtGlobal>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

RollbackData::RollbackData(Operation operation, const QString& from, const QString& to)
    : path(to)
    , previousPath(from)
    , operation(operation)
{}

RollbackData::RollbackData(Operation operation, const QString& path)
    : path(path)
    , operation(operation)
{}

bool RollbackData::rollback(QObject* target) const
{
    switch (operation) {
    case Rename:
        // QFile::rename refuses to overwrite, so a previousPath that exists again stays intact.
        if (QFile::rename(path, previousPath))
            return true;
        message(target, u"warning: rollback rename %1 to %2 failed"_s.arg(previousPath, path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(target, u"warning: rollback create file %1 failed"_s.arg(path));
        return false;
    case CreateDir: {
        // rmdir only removes an empty directory: anything put there since is kept.
        const QFileInfo info(path);
        if (info.dir().rmdir(info.fileName()))
            return true;
        message(target, u"warning: rollback create dir %1 failed"_s.arg(path));
        return false;
    }
    case Backup:
        if (restoreBackup(path, previousPath))
            return true;
        message(target, u"warning: rollback restore %1 from %2 failed"_s.arg(previousPath, path));
        return false;
    case LinkBack:
        if (linkBack(path, previousPath))
            return true;
        message(target, u"warning: rollback return %1 to %2 failed"_s.arg(path, previousPath));
        return false;
    }
    qFatal("Should not reach here");
}

namespace {

bool lstatPath(const QString& path, struct stat& info)
{
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

} // namespace

bool RollbackData::sameFile(const QString& a, const QString& b)
{
    struct stat first = {};
    struct stat second = {};
    return lstatPath(a, first) && lstatPath(b, second) && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

bool RollbackData::restoreBackup(const QString& backup, const QString& installed)
{
    struct stat backupInfo = {};
    if (!lstatPath(backup, backupInfo))
        return true;
    // rename() between two names of one file does nothing and leaves both.
    if (sameFile(backup, installed))
        return ::unlink(QFile::encodeName(backup).constData()) == 0;
    return ::rename(QFile::encodeName(backup).constData(),
                    QFile::encodeName(installed).constData()) == 0;
}

bool RollbackData::linkBack(const QString& installed, const QString& returnPath)
{
    struct stat info = {};
    if (lstatPath(returnPath, info))
        return true;
    return ::link(QFile::encodeName(installed).constData(),
                  QFile::encodeName(returnPath).constData()) == 0;
}

void RollbackData::message(QObject* target, const QString& text)
{
    if (target == nullptr)
        return;
    // By name, so the journal works with any object that has a "message(QString)".
    QMetaObject::invokeMethod(target, "message", Q_ARG(QString, text));
}

void RollbackDataList::add(const RollbackData& record)
{
    list.append(record);
}

void RollbackDataList::appendList(const RollbackDataList& other)
{
    list.append(other.list);
}

void RollbackDataList::clear()
{
    list.clear();
}

bool RollbackDataList::rollback(QObject* target)
{
    bool allUndone = true;
    while (!list.isEmpty()) {
        const RollbackData newest = list.takeLast();
        if (!newest.rollback(target))
            allUndone = false;
    }
    return allUndone;
}
